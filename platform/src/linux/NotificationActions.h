#pragma once
// Quiet questions as desktop notifications with actions, on the thread that
// talks to the notification service (DesktopNotifier.cpp).

#include <cstddef>
#include <cstdint>
#include <functional>

#include "platform/Questions.h"

namespace platform::detail {

// Whether a session bus can be reached without starting one.
bool notificationServiceMayAsk();
// Shows the question as a notification with one action per button; shown
// runs on the notification thread with false when the service cannot be
// reached or offers no actions (nothing was shown then), true otherwise.
// answered runs on that thread when an action is clicked.
void askByNotification(std::uint64_t id, const QuietQuestion& question, std::function<void(std::size_t)> answered,
                       std::function<void(bool)> shown);
// Takes the notification of the question away, if it is up.
void withdrawNotification(std::uint64_t id);

}  // namespace platform::detail
