// SPDX-License-Identifier: MIT
#pragma once

#include "screeninput.h"

#include <QImage>
#include <QWidget>

namespace MeetingSupport {

class ScreenDisplayPrivate;
class ScreenViewerPrivate;

// The picture of a shared screen, with the sharer's pointer drawn on it. Frames come scaled for
// it from the SDK's thread (ScreenFrames); it paints them as they are. While this client may
// control the screen, its mouse and keys go there, mapped to the shared screen's pixels.
class ScreenDisplay : public QWidget
{
    Q_OBJECT
public:
    ScreenDisplay(quint16 sharer, ScreenControl* control, QWidget* parent = nullptr);
    ~ScreenDisplay() override;

    quint16 sharer() const;
    // The last frame shown, as it was painted (the viewer's size), and the shared screen's.
    QImage picture() const;
    QSize remoteSize() const;
    quint32 frameNumber() const;
    // Where the picture is drawn.
    QRect pictureRect() const;
    // Whether keys typed here go to the shared screen while this client controls it.
    bool keyboardToRemote() const;
    void setKeyboardToRemote(bool toRemote);
    // A line over the picture (waiting, ended); empty shows none.
    void setNotice(const QString& text);
    QString notice() const;

    QSize sizeHint() const override;

signals:
    void doubleClicked();
    void escapePressed();
    void keyboardToRemoteChanged(bool toRemote);
    void frameShown(quint32 number);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    bool focusNextPrevChild(bool next) override;
    bool event(QEvent* event) override;

private:
    ScreenDisplayPrivate* d;
    friend class ScreenDisplayPrivate;
};

// A watched share: who shares it, the control state in words and the buttons that change it,
// and the picture. A double click on the picture (while it takes no input) or the full-screen
// button shows it on the whole screen; Esc (while the keyboard stays here) comes back.
class ScreenViewer : public QWidget
{
    Q_OBJECT
public:
    // How long an ended share's viewer stays to say why before it goes.
    static constexpr int LingerMs = 3000;

    ScreenViewer(quint16 sharer, quint16 self, QWidget* parent = nullptr);
    ~ScreenViewer() override;

    quint16 sharer() const;
    QString sharerName() const;
    ScreenDisplay* display() const;
    ScreenControl* control() const;

    // The sharer's word on control, and the server's refusal of it.
    void setControl(quint16 controller, bool open);
    void controlRefused(const QString& message);
    // A line over the picture (waiting for the share, an error).
    void setNotice(const QString& text);
    // The share is over: says why, takes no input, and goes after LingerMs.
    void end(const QString& why);
    bool hasEnded() const;

    bool isFullScreenShown() const;
    void setFullScreenShown(bool shown);

    // The screen's title as the tabs show it.
    QString title() const;

signals:
    // The user closed the viewer (stops watching).
    void closeRequested();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    ScreenViewerPrivate* d;
    friend class ScreenViewerPrivate;
};

} // namespace MeetingSupport
