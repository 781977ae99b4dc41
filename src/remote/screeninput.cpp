// SPDX-License-Identifier: MIT
#include "screeninput.h"

#include "tsclient/tssdkclient.h"

#include <QDebug>
#include <QHash>
#include <QKeyEvent>

namespace MeetingSupport {

namespace ScreenMapping {

QRect pictureRect(const QSize& image, const QRect& area)
{
    if (image.isEmpty() || area.isEmpty())
        return QRect();
    const QSize size = image.scaled(area.size(), Qt::KeepAspectRatio);
    return QRect(area.x() + (area.width() - size.width()) / 2,
                 area.y() + (area.height() - size.height()) / 2, size.width(), size.height());
}

bool toRemote(const QPoint& local, const QRect& picture, const QSize& remote, QPoint* out)
{
    if (picture.isEmpty() || remote.isEmpty() || !picture.contains(local))
        return false;
    const qint64 x = qint64(local.x() - picture.x()) * remote.width() / picture.width();
    const qint64 y = qint64(local.y() - picture.y()) * remote.height() / picture.height();
    *out = QPoint(int(qBound<qint64>(0, x, remote.width() - 1)),
                  int(qBound<qint64>(0, y, remote.height() - 1)));
    return true;
}

QPoint toLocal(const QPoint& remote, const QRect& picture, const QSize& size)
{
    if (picture.isEmpty() || size.isEmpty())
        return picture.topLeft();
    return QPoint(picture.x() + int(qint64(remote.x()) * picture.width() / size.width()),
                  picture.y() + int(qint64(remote.y()) * picture.height() / size.height()));
}

int xButton(Qt::MouseButton button)
{
    switch (button) {
    case Qt::LeftButton:
        return 1;
    case Qt::MiddleButton:
        return 2;
    case Qt::RightButton:
        return 3;
    case Qt::BackButton:
        return 8;
    case Qt::ForwardButton:
        return 9;
    default:
        return 0;
    }
}

quint32 keysym(int key, const QString& text)
{
    static const QHash<int, quint32> special{
        {Qt::Key_Escape, 0xff1b},     {Qt::Key_Tab, 0xff09},      {Qt::Key_Backtab, 0xff09},
        {Qt::Key_Backspace, 0xff08},  {Qt::Key_Return, 0xff0d},   {Qt::Key_Enter, 0xff8d},
        {Qt::Key_Insert, 0xff63},     {Qt::Key_Delete, 0xffff},   {Qt::Key_Pause, 0xff13},
        {Qt::Key_Print, 0xff61},      {Qt::Key_SysReq, 0xff15},   {Qt::Key_Clear, 0xff0b},
        {Qt::Key_Home, 0xff50},       {Qt::Key_End, 0xff57},      {Qt::Key_Left, 0xff51},
        {Qt::Key_Up, 0xff52},         {Qt::Key_Right, 0xff53},    {Qt::Key_Down, 0xff54},
        {Qt::Key_PageUp, 0xff55},     {Qt::Key_PageDown, 0xff56}, {Qt::Key_Shift, 0xffe1},
        {Qt::Key_Control, 0xffe3},    {Qt::Key_Meta, 0xffeb},     {Qt::Key_Alt, 0xffe9},
        {Qt::Key_AltGr, 0xfe03},      {Qt::Key_CapsLock, 0xffe5}, {Qt::Key_NumLock, 0xff7f},
        {Qt::Key_ScrollLock, 0xff14}, {Qt::Key_Super_L, 0xffeb},  {Qt::Key_Super_R, 0xffec},
        {Qt::Key_Menu, 0xff67},       {Qt::Key_Hyper_L, 0xffed},  {Qt::Key_Hyper_R, 0xffee},
        {Qt::Key_Space, 0x20},
    };
    if (const auto it = special.constFind(key); it != special.cend())
        return *it;
    if (key >= Qt::Key_F1 && key <= Qt::Key_F35)
        return 0xffbe + quint32(key - Qt::Key_F1);
    // Letters as X has them unshifted: Shift travels as a key of its own.
    if (key >= Qt::Key_A && key <= Qt::Key_Z)
        return quint32(key - Qt::Key_A + 'a');
    if (key > 0x20 && key < 0x7f)
        return quint32(key);
    // Anything else by what it types: Latin-1 keysyms are the code points, the rest of
    // Unicode is offset.
    if (text.size() == 1 || (text.size() == 2 && text.at(0).isHighSurrogate())) {
        const uint code = text.toUcs4().value(0);
        if ((code >= 0x20 && code < 0x7f) || (code >= 0xa0 && code <= 0xff))
            return code;
        if (code > 0xff && code <= 0x10ffff)
            return 0x01000000 | code;
    }
    return 0;
}

quint32 keysym(const QKeyEvent& event)
{
    // On X11 the native virtual key is the keysym itself (Right Ctrl told from Left, keypad
    // keys as keypad keys).
    if (event.nativeVirtualKey() != 0)
        return event.nativeVirtualKey();
    return keysym(event.key(), event.text());
}

} // namespace ScreenMapping

ScreenControl::ScreenControl(quint16 sharer, quint16 self, QObject* parent)
    : QObject(parent), m_sharer(sharer), m_self(self), m_link(libraryLink(sharer))
{
    m_moveTimer.setSingleShot(true);
    m_moveTimer.setInterval(MoveIntervalMs);
    connect(&m_moveTimer, &QTimer::timeout, this, &ScreenControl::flushMove);
    m_answerTimer.setSingleShot(true);
    m_answerTimer.setInterval(AnswerTimeoutMs);
    connect(&m_answerTimer, &QTimer::timeout, this, [this] {
        if (m_state != Asking)
            return;
        qDebug() << "No answer to asking for control of the screen of client" << m_sharer;
        refused();
    });
}

ScreenControl::Link ScreenControl::libraryLink(quint16 sharer)
{
    Link link;
    link.send = [sharer](const ScreenInput& input) {
        return TsSDKClient::instance()->sdk()->sendScreenInput(sharer, input);
    };
    link.take = [sharer](bool take) {
        return TsSDKClient::instance()->sdk()->takeScreenControl(sharer, take);
    };
    return link;
}

void ScreenControl::setState(State state)
{
    if (m_state == state)
        return;
    m_state = state;
    emit stateChanged(state);
}

void ScreenControl::setControl(quint16 controller, bool open)
{
    m_controller = controller;
    m_open = open;
    if (controller != 0 && controller == m_self) {
        m_answerTimer.stop();
        m_saidDropped = false;
        setState(Controlling);
        // What waited for the answer goes out in the order it came.
        const QList<ScreenInput> waiting = std::exchange(m_waiting, {});
        for (const ScreenInput& input : waiting)
            deliver(input);
        return;
    }
    if (controller == 0 && open && m_state == Asking)
        return; // still waiting for the answer to this client's own question
    if (m_state == Controlling || m_state == Asking) {
        // Control went elsewhere: what is held here can no longer be let go of from here.
        m_keys.clear();
        m_buttons.clear();
    }
    m_answerTimer.stop();
    m_waiting.clear();
    m_hasMove = false;
    m_moved = QPoint(-1, -1);
    setState(controller != 0 ? HeldByOther : (open ? Open : ViewOnly));
}

void ScreenControl::refused()
{
    m_answerTimer.stop();
    m_waiting.clear();
    m_hasMove = false;
    m_moved = QPoint(-1, -1);
    m_keys.clear();
    m_buttons.clear();
    if (m_controller == m_self)
        m_controller = 0;
    setState(m_controller != 0 ? HeldByOther : (m_open ? Open : ViewOnly));
}

bool ScreenControl::canAct() const
{
    return m_state == Controlling || m_state == Asking;
}

bool ScreenControl::act()
{
    if (m_state == Open)
        ask();
    return canAct();
}

void ScreenControl::ask()
{
    if (m_state != Open)
        return;
    if (m_link.take(true) != ERROR_ok)
        return;
    setState(Asking);
    m_answerTimer.start();
}

void ScreenControl::deliver(const ScreenInput& input)
{
    if (m_state == Controlling) {
        const unsigned int error = m_link.send(input);
        if (error == ERROR_screen_limit_reached && !m_saidDropped) {
            m_saidDropped = true;
            emit dropped();
        }
        return;
    }
    if (m_state != Asking)
        return;
    if (m_waiting.size() >= MaxWaiting) {
        // Moves are the least missed.
        const auto move =
            std::find_if(m_waiting.begin(), m_waiting.end(),
                         [](const ScreenInput& i) { return i.kind == ScreenInput::Move; });
        if (move == m_waiting.end()) {
            if (!m_saidDropped) {
                m_saidDropped = true;
                emit dropped();
            }
            return;
        }
        m_waiting.erase(move);
    }
    m_waiting.append(input);
}

void ScreenControl::flushMove()
{
    m_moveTimer.stop();
    if (!m_hasMove)
        return;
    m_hasMove = false;
    if (m_move == m_moved && canAct())
        return;
    m_moved = m_move;
    ScreenInput input;
    input.kind = ScreenInput::Move;
    input.a = m_move.x();
    input.b = m_move.y();
    deliver(input);
}

bool ScreenControl::move(const QPoint& remote)
{
    if (!canAct())
        return false;
    m_hasMove = true;
    m_move = remote;
    if (m_state == Controlling && !m_moveTimer.isActive())
        m_moveTimer.start();
    return true;
}

bool ScreenControl::button(int xButton, bool pressed, const QPoint& remote)
{
    if (xButton <= 0 || (pressed ? !act() : !canAct()))
        return false;
    if (!pressed && !m_buttons.contains(xButton))
        return false; // its press never went there
    m_hasMove = true;
    m_move = remote;
    flushMove();
    ScreenInput input;
    input.kind = ScreenInput::Button;
    input.a = xButton;
    input.b = pressed ? 1 : 0;
    deliver(input);
    if (pressed)
        m_buttons.insert(xButton);
    else
        m_buttons.remove(xButton);
    return true;
}

bool ScreenControl::wheel(int dx, int dy, const QPoint& remote)
{
    if ((dx == 0 && dy == 0) || !act())
        return false;
    m_hasMove = true;
    m_move = remote;
    flushMove();
    ScreenInput input;
    input.kind = ScreenInput::Wheel;
    input.a = dx;
    input.b = dy;
    deliver(input);
    return true;
}

bool ScreenControl::key(quint32 keysym, bool pressed)
{
    if (keysym == 0 || (pressed ? !act() : !canAct()))
        return false;
    if (!pressed && !m_keys.contains(keysym))
        return false;
    flushMove();
    ScreenInput input;
    input.kind = ScreenInput::Key;
    input.keysym = keysym;
    input.b = pressed ? 1 : 0;
    deliver(input);
    if (pressed)
        m_keys.insert(keysym);
    else
        m_keys.remove(keysym);
    return true;
}

bool ScreenControl::text(const QString& typed)
{
    if (typed.isEmpty() || !act())
        return false;
    flushMove();
    ScreenInput input;
    input.kind = ScreenInput::Text;
    input.text = typed;
    deliver(input);
    return true;
}

void ScreenControl::releaseAll()
{
    if (canAct()) {
        flushMove();
        const QSet<quint32> keys = std::exchange(m_keys, {});
        for (quint32 keysym : keys) {
            ScreenInput input;
            input.kind = ScreenInput::Key;
            input.keysym = keysym;
            deliver(input);
        }
        const QSet<int> buttons = std::exchange(m_buttons, {});
        for (int xButton : buttons) {
            ScreenInput input;
            input.kind = ScreenInput::Button;
            input.a = xButton;
            deliver(input);
        }
    }
    m_keys.clear();
    m_buttons.clear();
}

void ScreenControl::letGo()
{
    if (!canAct())
        return;
    releaseAll();
    m_link.take(false);
    m_answerTimer.stop();
    m_waiting.clear();
    m_moved = QPoint(-1, -1);
    m_controller = 0;
    setState(m_open ? Open : ViewOnly);
}

} // namespace MeetingSupport
