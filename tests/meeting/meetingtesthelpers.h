// SPDX-License-Identifier: MIT
#pragma once

#include <QAbstractItemView>
#include <QApplication>
#include <QElapsedTimer>
#include <QIcon>
#include <QImage>
#include <QMenu>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <QtTest>

#include <functional>
#include <memory>

// Runs handler on the next modal widget that appears (a dialog run by exec()), from the event
// loop that dialog runs. Polls for up to timeoutMs.
inline void onNextModal(const std::function<void(QWidget*)>& handler, int timeoutMs = 5000)
{
    auto timer = new QTimer;
    auto elapsed = std::make_shared<QElapsedTimer>();
    elapsed->start();
    timer->setInterval(20);
    QObject::connect(timer, &QTimer::timeout, [timer, elapsed, handler, timeoutMs] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            timer->stop();
            timer->deleteLater();
            handler(modal);
        } else if (elapsed->elapsed() > timeoutMs) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start();
}

// The same for the next popup menu.
inline void onNextPopup(const std::function<void(QMenu*)>& handler, int timeoutMs = 5000)
{
    auto timer = new QTimer;
    auto elapsed = std::make_shared<QElapsedTimer>();
    elapsed->start();
    timer->setInterval(20);
    QObject::connect(timer, &QTimer::timeout, [timer, elapsed, handler, timeoutMs] {
        if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
            timer->stop();
            timer->deleteLater();
            handler(menu);
        } else if (elapsed->elapsed() > timeoutMs) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start();
}

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
    if (decoration.canConvert<QIcon>() && decoration.userType() == qMetaTypeId<QIcon>())
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
