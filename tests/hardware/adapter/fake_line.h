// A line that records what a chip model drove, for the models' unit tests.
#pragma once

#include "chip.h"

namespace adapter {

class FakeLine : public adapter::Line {
public:
    double baud = 0;
    DataFormat format;
    adapter::Flow flow;
    Outputs out;
    adapter::Inputs in;
    bool breakOn = false;
    int opens = 0;
    void setBaud(double made) override { baud = made; }
    void setFormat(const DataFormat& f) override { format = f; }
    void setBreak(bool on) override { breakOn = on; }
    void setFlow(const adapter::Flow& f) override { flow = f; }
    void setOutputs(const Outputs& o) override { out = o; }
    Outputs outputs() const override { return out; }
    adapter::Inputs inputs() const override { return in; }
    void purge(bool, bool) override {}
    void opened() override { ++opens; }
    size_t transmitQueued() const override { return 0; }
    size_t receiveQueued() const override { return 0; }
    void note(const char*, ...) override {}
};

}  // namespace adapter
