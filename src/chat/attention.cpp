// SPDX-License-Identifier: MIT
#include "attention.h"

#include <QApplication>
#include <QWidget>

namespace MeetingSupport {

namespace {

std::function<void(QWidget*)>& handler()
{
    static std::function<void(QWidget*)> instance;
    return instance;
}

} // namespace

void callAttention(QWidget* widget)
{
    if (!widget)
        return;
    QWidget* window = widget->window();
    if (window->isActiveWindow())
        return;
    if (handler())
        handler()(window);
    else
        QApplication::alert(window);
}

void setAttentionHandler(std::function<void(QWidget* window)> handler_)
{
    handler() = std::move(handler_);
}

} // namespace MeetingSupport
