#include "startup/BoardModels.h"

#include "hw/PciConfig.h"
#include "hw/Registers.h"

namespace {

constexpr std::uint8_t NoLineDriverControl = 0xFF;

// The models of the family by Subsystem ID.
struct BoardModel {
    std::uint16_t subsystemId;
    std::uint8_t channels;
    std::uint8_t firstLineDriverChannel;  // channels from here on have selectable drivers
};

// clang-format off
constexpr BoardModel Models[] = {
    {0x300, 2, NoLineDriverControl}, {0x301, 4, NoLineDriverControl},
    {0x302, 8, NoLineDriverControl},
    {0x310, 2, 1}, {0x311, 4, 2}, {0x312, 8, 4},
    {0x320, 2, 0}, {0x321, 4, 0}, {0x322, 8, 0},
    {0x330, 2, 0}, {0x331, 4, 0}, {0x332, 8, 0},
    {Quelta::PinPulseModel, 8, 0},
};
// clang-format on

const BoardModel* FindModel(std::uint16_t subsystemId) {
    for (const BoardModel& model : Models) {
        if (model.subsystemId == subsystemId) {
            return &model;
        }
    }
    return nullptr;
}

}  // namespace

std::uint32_t MapLengthOf(std::uint16_t deviceId) {
    switch (deviceId) {
    case Quelta::Device2:
        return 2 * ChannelWindowSize;
    case Quelta::Device4:
        return 4 * ChannelWindowSize;
    case Quelta::Device8:
    case Quelta::Device8b:
        return 8 * ChannelWindowSize;
    default:
        return 0;
    }
}

// A model the table does not know has as many channels as its register space holds. A known
// model never gets more than that either, so that no channel window lies outside the mapping.
std::uint8_t ChannelCountOf(std::uint16_t subsystemId, std::uint16_t deviceId) {
    const auto windows = static_cast<std::uint8_t>(MapLengthOf(deviceId) / ChannelWindowSize);
    const BoardModel* model = FindModel(subsystemId);
    return model != nullptr && model->channels < windows ? model->channels : windows;
}

std::uint8_t HasLineDriverControl(std::uint16_t subsystemId, std::uint8_t channel) {
    const BoardModel* model = FindModel(subsystemId);
    return model != nullptr && channel >= model->firstLineDriverChannel ? 1 : 0;
}
