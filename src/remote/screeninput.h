// SPDX-License-Identifier: MIT
#pragma once

#include "tsclient/tssdkinterface.h"

#include <QList>
#include <QObject>
#include <QPoint>
#include <QRect>
#include <QSet>
#include <QSize>
#include <QTimer>

#include <functional>

class QKeyEvent;

namespace MeetingSupport {

// How the viewer's mouse and keys become the shared screen's: pixels, X buttons, X keysyms.
namespace ScreenMapping {

// Where a picture of image's size sits, centred, in area.
QRect pictureRect(const QSize& image, const QRect& area);
// A point of the viewer in the shared screen's pixels; false outside the picture.
bool toRemote(const QPoint& local, const QRect& picture, const QSize& remote, QPoint* out);
// A point of the shared screen in the viewer.
QPoint toLocal(const QPoint& remote, const QRect& picture, const QSize& size);
// X's number of a mouse button (1 left, 2 middle, 3 right, 8 back, 9 forward); 0 for none.
int xButton(Qt::MouseButton button);
// The X keysym of a key event: the native one where the platform gives it (X11), else from
// Qt's key and text; 0 when the key has none.
quint32 keysym(const QKeyEvent& event);
quint32 keysym(int key, const QString& text);

// Keysyms of the keys the viewer treats itself.
constexpr quint32 ControlR = 0xffe4;

} // namespace ScreenMapping

// The controlling side of one watched share: whether this client may send input to it, the
// input on its way, and what is held down on the shared screen.
//
// Control is either given by the sharer, or open (remote help): then the first input that acts
// (a press, a wheel turn, a key) asks for control, and that input and what follows wait until
// the server's answer; granted, they are sent in order, so the click that took control lands.
// Moves are merged (the newest wins, sent at most every few ms) and only sent while in control.
// Whatever is held down is let go of on the shared screen when the keyboard or control is
// given up, so nothing stays pressed there.
class ScreenControl : public QObject
{
    Q_OBJECT
public:
    // The calls that reach the library; replaced in tests of this class.
    struct Link
    {
        std::function<unsigned int(const ScreenInput&)> send;
        std::function<unsigned int(bool take)> take;
    };

    enum State {
        ViewOnly,    // neither given nor open
        Open,        // open and free: the first act takes it
        Asking,      // asked; input waits
        Controlling, // this client controls it
        HeldByOther, // another member controls it
    };
    Q_ENUM(State)

    // Inputs that wait for an answer at most; the oldest moves go first.
    static constexpr int MaxWaiting = 256;
    // How long an answer to asking for control may take.
    static constexpr int AnswerTimeoutMs = 5000;
    static constexpr int MoveIntervalMs = 8;

    ScreenControl(quint16 sharer, quint16 self, QObject* parent = nullptr);
    // Links to the library for this client's connection.
    static Link libraryLink(quint16 sharer);
    void setLink(const Link& link) { m_link = link; }

    State state() const { return m_state; }
    quint16 controller() const { return m_controller; }
    bool isOpen() const { return m_open; }
    // The sharer's word on who controls the share.
    void setControl(quint16 controller, bool open);
    // The server refused input or control.
    void refused();

    // Input in the shared screen's pixels. Returns whether it was taken (sent, or waiting for
    // control); false when this client may not send.
    bool move(const QPoint& remote);
    bool button(int xButton, bool pressed, const QPoint& remote);
    bool wheel(int dx, int dy, const QPoint& remote);
    bool key(quint32 keysym, bool pressed);
    bool text(const QString& text);
    // Lets go of every key and button held on the shared screen.
    void releaseAll();
    // Gives control back to the sharer (nobody holds it then).
    void letGo();
    // Asks for control of an open share without acting on the screen.
    void ask();

    QSet<quint32> pressedKeys() const { return m_keys; }
    QSet<int> pressedButtons() const { return m_buttons; }

signals:
    void stateChanged(MeetingSupport::ScreenControl::State state);
    // Too much input: some of it was dropped.
    void dropped();

private:
    bool canAct() const;
    bool act();
    void deliver(const ScreenInput& input);
    void flushMove();
    void setState(State state);

    quint16 m_sharer;
    quint16 m_self;
    Link m_link;
    State m_state = ViewOnly;
    quint16 m_controller = 0;
    bool m_open = false;
    QList<ScreenInput> m_waiting;
    bool m_hasMove = false;
    QPoint m_move;
    // Where the last move sent (or waiting) went: the same place is not sent twice.
    QPoint m_moved{-1, -1};
    QTimer m_moveTimer;
    QTimer m_answerTimer;
    QSet<quint32> m_keys;
    QSet<int> m_buttons;
    bool m_saidDropped = false;
};

} // namespace MeetingSupport
