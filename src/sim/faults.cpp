// The ways the simulated device can be told to misbehave: their names on
// the command line and which request each one hits.
#include <cstdlib>

#include "sim/device.hpp"

namespace bootsim {

namespace {

struct fault_name {
    const char* name;
    fault_kind kind;
};
constexpr fault_name fault_names[] = {
    {"wrong-start", fault_kind::wrong_start},     {"wrong-echo", fault_kind::wrong_echo},
    {"wrong-address", fault_kind::wrong_address}, {"wrong-length", fault_kind::wrong_length},
    {"bad-checksum", fault_kind::bad_checksum},   {"close-mid-reply", fault_kind::close_mid_reply},
    {"no-answer", fault_kind::no_answer},         {"corrupt-write", fault_kind::corrupt_write},
    {"no-erase", fault_kind::no_erase},         {"noise", fault_kind::noise},
    {"hidden-damage", fault_kind::hidden_damage}, {"misdirect", fault_kind::misdirect},
};

}  // namespace

std::optional<fault> parse_fault(const std::string& text) {
    std::string name = text;
    fault f{fault_kind::no_answer};
    if (auto at = name.find('@'); at != std::string::npos) {
        f.request = static_cast<int>(std::strtol(name.c_str() + at + 1, nullptr, 0));
        name.resize(at);
    }
    if (auto eq = name.find('='); eq != std::string::npos) {
        f.value = static_cast<int>(std::strtol(name.c_str() + eq + 1, nullptr, 0));
        f.probability = std::strtod(name.c_str() + eq + 1, nullptr);
        name.resize(eq);
    }
    for (const auto& n : fault_names) {
        if (name == n.name) {
            f.kind = n.kind;
            return f;
        }
    }
    return std::nullopt;
}

const fault* device::fault_for(int index, fault_kind kind) const {
    for (const auto& f : faults)
        if (f.kind == kind && (f.request < 0 || f.request == index)) return &f;
    return nullptr;
}

uint8_t device::noisy(uint8_t b) {
    const fault* f = fault_for(-1, fault_kind::noise);
    if (!f || f->probability <= 0) return b;
    if (!seeded_) {
        rng_.seed(seed);
        seeded_ = true;
    }
    if (std::uniform_real_distribution<double>(0, 1)(rng_) >= f->probability) return b;
    ++flipped;
    return static_cast<uint8_t>(b ^ (1u << std::uniform_int_distribution<int>(0, 7)(rng_)));
}

}  // namespace bootsim
