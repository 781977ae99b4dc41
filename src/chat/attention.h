// SPDX-License-Identifier: MIT
#pragma once

#include <functional>

class QWidget;

namespace MeetingSupport {

// Something arrived for the user (an invitation, a chat message, a remote-desktop request):
// when the window holding widget is not the active one, its task bar entry is flashed so a
// user working in another window learns of it. A user who is in the window is not disturbed.
void callAttention(QWidget* widget);

// What is done instead of QApplication::alert, for tests; an empty function restores it.
void setAttentionHandler(std::function<void(QWidget* window)> handler);

} // namespace MeetingSupport
