// File-system change subscriptions are not offered on BSD: subscribing
// fails with ENOSYS.

#include <cerrno>

#include "platform/FNSubscribe.h"

namespace platform {

OSStatus FNSubscribeByPath(const char*, FNSubscriptionProc, void*, OptionBits, FNSubscriptionRef*) { return -ENOSYS; }

OSStatus FNUnsubscribe(FNSubscriptionRef) { return -EINVAL; }

}  // namespace platform
