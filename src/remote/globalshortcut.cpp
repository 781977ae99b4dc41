// SPDX-License-Identifier: MIT
#include "globalshortcut.h"

#include <QDebug>
#include <QGuiApplication>
#include <QSocketNotifier>

// After Qt's headers: Xlib's macros (None, Bool, KeyPress, ...) would break them.
#include <X11/Xlib.h>

namespace MeetingSupport {

namespace {

bool grabFailed = false;

int noteGrabError(::Display*, XErrorEvent* error)
{
    if (error->error_code == BadAccess)
        grabFailed = true;
    return 0;
}

} // namespace

class GlobalShortcutPrivate
{
public:
    ::Display* display = nullptr;
    KeyCode code = 0;
    QSocketNotifier* notifier = nullptr;
    bool active = false;
    // Caps Lock and Num Lock must not keep the combination from matching.
    static constexpr unsigned int Base = ControlMask | Mod1Mask | ShiftMask;
    static constexpr unsigned int Variants[] = {0, LockMask, Mod2Mask, LockMask | Mod2Mask};
};

GlobalShortcut::GlobalShortcut(quint32 keysym, QObject* parent)
    : QObject(parent), d(new GlobalShortcutPrivate)
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        return;
    d->display = XOpenDisplay(nullptr);
    if (!d->display)
        return;
    d->code = XKeysymToKeycode(d->display, keysym);
    if (d->code == 0)
        return;
    const Window root = DefaultRootWindow(d->display);
    XSync(d->display, False);
    grabFailed = false;
    const auto previous = XSetErrorHandler(noteGrabError);
    for (unsigned int variant : GlobalShortcutPrivate::Variants)
        XGrabKey(d->display, d->code, GlobalShortcutPrivate::Base | variant, root, False,
                 GrabModeAsync, GrabModeAsync);
    XSync(d->display, False);
    XSetErrorHandler(previous);
    if (grabFailed) {
        qDebug() << "Another program holds Ctrl+Alt+Shift and keysym" << Qt::hex << keysym;
        return;
    }
    d->active = true;
    d->notifier = new QSocketNotifier(ConnectionNumber(d->display), QSocketNotifier::Read, this);
    connect(d->notifier, &QSocketNotifier::activated, this, [this] {
        bool pressed = false;
        while (XPending(d->display) > 0) {
            XEvent event;
            XNextEvent(d->display, &event);
            if (event.type == KeyPress && event.xkey.keycode == d->code)
                pressed = true;
        }
        if (pressed)
            emit activated();
    });
}

GlobalShortcut::~GlobalShortcut()
{
    delete d->notifier; // before its descriptor closes
    if (d->display) {
        if (d->active) {
            const Window root = DefaultRootWindow(d->display);
            for (unsigned int variant : GlobalShortcutPrivate::Variants)
                XUngrabKey(d->display, d->code, GlobalShortcutPrivate::Base | variant, root);
        }
        XCloseDisplay(d->display);
    }
    delete d;
}

bool GlobalShortcut::isActive() const
{
    return d->active;
}

} // namespace MeetingSupport
