// SPDX-License-Identifier: MIT
#pragma once

// Helpers for tests that drive widgets: modal dialogs and menus answered from the event loop
// they run, message boxes answered as they come, mouse gestures, shown pictures.

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QIcon>
#include <QImage>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <QtTest>

#include <functional>
#include <memory>

// Runs handler on the first widget that find returns, from whatever event loop runs at that time
// (a dialog's exec(), a menu's). Polls every 20 ms, for up to timeoutMs; deleting the returned
// timer stops it earlier.
template <typename W>
QPointer<QTimer> onNext(const std::function<W*()>& find, const std::function<void(W*)>& handler,
                        int timeoutMs = 5000)
{
    auto* timer = new QTimer(qApp);
    auto elapsed = std::make_shared<QElapsedTimer>();
    elapsed->start();
    timer->setInterval(20);
    QObject::connect(timer, &QTimer::timeout, [timer, elapsed, find, handler, timeoutMs] {
        W* widget = find();
        if (!widget && elapsed->elapsed() <= timeoutMs)
            return;
        timer->stop();
        timer->deleteLater();
        if (widget)
            handler(widget);
    });
    timer->start();
    return timer;
}

// The next modal widget: a dialog run by exec(), a message box.
inline void onNextModal(const std::function<void(QWidget*)>& handler, int timeoutMs = 5000)
{
    onNext<QWidget>([] { return QApplication::activeModalWidget(); }, handler, timeoutMs);
}

// The next modal dialog that is not a message box; with a name, only a dialog of that name.
inline void onNextDialog(const std::function<void(QDialog*)>& handler,
                         const QString& objectName = QString(), int timeoutMs = 5000)
{
    onNext<QDialog>(
        [objectName]() -> QDialog* {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (!dialog || qobject_cast<QMessageBox*>(dialog) ||
                (!objectName.isEmpty() && dialog->objectName() != objectName))
                return nullptr;
            return dialog;
        },
        handler, timeoutMs);
}

// The next popup menu.
inline void onNextPopup(const std::function<void(QMenu*)>& handler, int timeoutMs = 5000)
{
    onNext<QMenu>([] { return qobject_cast<QMenu*>(QApplication::activePopupWidget()); }, handler,
                  timeoutMs);
}

// Answers the next file dialog with path as if it was typed into the name field (selectFile()
// leaves a focused field alone), and accepts it.
inline void answerNextFileDialog(const QString& path)
{
    onNextDialog([path](QDialog* dialog) {
        if (auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
            name->setText(path);
        dialog->accept();
    });
}

// Whether action, or what it posted for later, brings up a widget that find returns (which is
// then closed). Qt opens dialogs and menus from within the call that asks for them, so once the
// action and the events it posted are done, nothing more can come of it.
template <typename W>
bool opens(const std::function<W*()>& find, const std::function<void()>& action)
{
    bool opened = false;
    QPointer<QTimer> watch = onNext<W>(
        find,
        [&opened](W* widget) {
            opened = true;
            widget->close();
        },
        60000);
    action();
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    delete watch;
    return opened;
}

inline bool opensModal(const std::function<void()>& action)
{
    return opens<QWidget>([] { return QApplication::activeModalWidget(); }, action);
}

inline bool opensPopup(const std::function<void()>& action)
{
    return opens<QMenu>([] { return qobject_cast<QMenu*>(QApplication::activePopupWidget()); },
                        action);
}

// Answers every message box that comes up while it lives, with its answer button, and keeps
// "title: text" of each.
class MessageBoxAnswerer : public QObject
{
public:
    explicit MessageBoxAnswerer(QMessageBox::StandardButton answer = QMessageBox::Ok)
        : m_answer(answer)
    {
        m_timer.setInterval(20);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box)
                return;
            seen << box->windowTitle() + QStringLiteral(": ") + box->text();
            if (QAbstractButton* button = box->button(m_answer))
                button->click();
            else
                box->accept();
        });
        m_timer.start();
    }

    void setAnswer(QMessageBox::StandardButton answer) { m_answer = answer; }

    QStringList seen;

private:
    QMessageBox::StandardButton m_answer;
    QTimer m_timer;
};

// A double click as a real mouse makes it: press, release, double click, release.
inline void doubleClickAt(QWidget* widget, const QPoint& pos)
{
    QTest::mousePress(widget, Qt::LeftButton, {}, pos);
    QTest::mouseRelease(widget, Qt::LeftButton, {}, pos);
    QTest::mouseDClick(widget, Qt::LeftButton, {}, pos);
    QTest::mouseRelease(widget, Qt::LeftButton, {}, pos);
}

// Whether a decoration shows the picture of the resource at path.
inline bool showsIcon(const QVariant& decoration, const QString& path)
{
    const QSize size(32, 32);
    QImage shown;
    if (decoration.userType() == qMetaTypeId<QIcon>())
        shown = decoration.value<QIcon>().pixmap(size).toImage();
    else if (decoration.userType() == qMetaTypeId<QPixmap>())
        shown = decoration.value<QPixmap>().scaled(size).toImage();
    else
        return false;
    const QImage expected = decoration.userType() == qMetaTypeId<QIcon>()
                                ? QIcon(path).pixmap(size).toImage()
                                : QPixmap(path).scaled(size).toImage();
    return !shown.isNull() && shown == expected;
}
