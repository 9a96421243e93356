// Placeholder for the cdc-acm model, being written.
#pragma once

#include "chip.h"

namespace acm {

class CdcAcm : public adapter::Chip {
public:
    const char* name() const override { return "cdc-acm"; }
    bool descriptor(uint8_t, uint8_t, std::vector<uint8_t>&) const override { return false; }
    int transmitFifo() const override { return 64; }
    int receiveFifo() const override { return 64; }
    bool control(const adapter::Setup&, const std::vector<uint8_t>&,
                 std::vector<uint8_t>&) override {
        return false;
    }
    int64_t inDue(const std::deque<adapter::RxByte>&, int64_t) const override { return INT64_MAX; }
    std::vector<uint8_t> inPacket(std::deque<adapter::RxByte>&, int) override { return {}; }
};

}  // namespace acm
