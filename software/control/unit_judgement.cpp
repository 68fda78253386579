#include "control/unit_judgement.h"

namespace flow {

Judgement judge(DFU::DeviceInfo const& info, Device::Type desired_type, QString const& desired_revision) {
    if (info.OTP_info.blank)
        return Judgement::blank_record;
    if (!info.valid)
        return Judgement::unreadable;
    if (info.device_type != static_cast<uint8_t>(desired_type))
        return Judgement::other_product;
    return info.FW_revision == desired_revision ? Judgement::current : Judgement::upgrade;
}

} // namespace flow
