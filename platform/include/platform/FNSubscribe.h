#pragma once
// File-system change subscriptions: the platform calls back, on a thread of
// its own, when something changes at a subscribed path (the folder's entries
// or the file's contents and attributes, and the path's own renaming or
// removal). Changes that arrive together are reported by one callback.

#include <cstdint>

namespace platform {

struct FNSubscription;  // opaque
using FNSubscriptionRef = FNSubscription*;
using FNMessage = std::uint32_t;
using OptionBits = std::uint32_t;
using OSStatus = std::int32_t;

// Something changed at the subscribed path.
inline constexpr FNMessage kFNDirectoryModifiedMessage = 1;

// Called with the message, the option bits given at subscription, the client
// data given at subscription and the subscription's handle.
using FNSubscriptionProc = void (*)(FNMessage message, OptionBits flags, void* refcon, FNSubscriptionRef subscription);

// Subscribes to changes at path. On success returns 0 and stores the new
// handle in *subscription; on failure returns the negated errno and leaves
// *subscription unchanged. Thread-safe.
OSStatus FNSubscribeByPath(const char* path, FNSubscriptionProc callback, void* clientData, OptionBits options,
                           FNSubscriptionRef* subscription);

// Ends a subscription. No callback for it starts after this returns, and one
// already running on the callback thread has finished (unless the caller is
// that callback itself), so the caller must not hold anything that callback
// waits for. Returns 0, or a negative status for an unknown handle.
// Thread-safe.
OSStatus FNUnsubscribe(FNSubscriptionRef subscription);

}  // namespace platform
