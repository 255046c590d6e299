#include "vaultkit/LinuxTouchIDProvider.h"

#if defined(__linux__)

namespace vaultkit {

TouchIDProvider::AuthOutcome LinuxTouchIDProvider::authenticate(const std::string&) {
    return AuthOutcome::ended(AuthOutcome::Kind::failed, unavailableText);
}

std::optional<Sealing::Agree> LinuxTouchIDProvider::loadKey(const std::vector<std::uint8_t>&,
                                                            const TouchIDContext&) {
    // No key made on this computer can exist yet: any handle is one this
    // provider cannot rebuild.
    return std::nullopt;
}

TouchIDProvider::CreatedKey LinuxTouchIDProvider::createKey() {
    throw AccessControlError(unavailableText);
}

std::shared_ptr<TouchIDProvider> TouchIDProvider::platformDefault() {
    return std::make_shared<LinuxTouchIDProvider>();
}

} // namespace vaultkit

#endif
