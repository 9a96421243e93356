// The chips the adapter can be. A new chip: its model files, one row here, a leg of its own.
#include "chip.h"
#include "cdc_acm_model.h"
#include "ch340_model.h"
#include "cp2102_model.h"
#include "ft232r_model.h"
#include "pl2303_model.h"

namespace adapter {

namespace {
struct ChipRow {
    const char* name;
    std::unique_ptr<Chip> (*make)();
};
template <typename T>
std::unique_ptr<Chip> make() {
    return std::make_unique<T>();
}
// One chip a line.
// clang-format off
constexpr ChipRow kChips[] = {
    {"ft232r", make<ftdi::Ft232r>},
    {"cp2102", make<cp210x::Cp2102>},
    {"ch340", make<ch341::Ch340>},
    {"pl2303", make<pl2303::Pl2303>},
    {"cdc-acm", make<acm::CdcAcm>},
};
// clang-format on
}  // namespace

std::unique_ptr<Chip> makeChip(const std::string& name) {
    for (const ChipRow& row : kChips)
        if (name == row.name) return row.make();
    return nullptr;
}

std::vector<std::string> chipNames() {
    std::vector<std::string> names;
    for (const ChipRow& row : kChips) names.emplace_back(row.name);
    return names;
}

}  // namespace adapter
