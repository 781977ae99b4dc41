// SPDX-License-Identifier: MIT
// bench_message_view: 10,000 mixed messages appended to a message view on the offscreen
// platform: chat messages from two senders in two fonts, a picture in one message of fifty,
// and status lines. Each message is timed with the event processing that shows it. Prints the
// mean time per message of the first and of the last thousand, their ratio (the last thousand
// should cost at most twice the first: no growth with the history), and the process's memory
// at the end.
#include "chat/messageview.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPainter>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace MeetingSupport;

namespace {

constexpr int Messages = 10000;
constexpr int Window = 1000;

// A gradient with a frame, the size of a small screen capture.
QImage samplePicture()
{
    QImage image(320, 200, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x)
            image.setPixel(x, y, qRgb(x * 255 / 320, y * 255 / 200, 160));
    }
    QPainter painter(&image);
    painter.setPen(QPen(Qt::white, 4));
    painter.drawRect(image.rect().adjusted(2, 2, -3, -3));
    return image;
}

QString memoryLine(const char* key)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return QStringLiteral("?");
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(key))
            return QString::fromLatin1(line.mid(int(qstrlen(key))).trimmed());
    }
    return QStringLiteral("?");
}

double meanMicroseconds(const std::vector<qint64>& ns, size_t from, size_t count)
{
    qint64 sum = 0;
    for (size_t i = from; i < from + count; ++i)
        sum += ns[i];
    return double(sum) / double(count) / 1000.0;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // The view logs nothing per message, but decoding can: keep the figures readable.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});

    MessageView view;
    view.setOwnName(QStringLiteral("me"));
    view.resize(600, 800);
    view.show();
    QCoreApplication::processEvents();

    MessageFont plain;
    plain.family = QStringLiteral("DejaVu Sans");
    plain.size = 10;
    MessageFont fancy;
    fancy.family = QStringLiteral("DejaVu Serif");
    fancy.size = 12;
    fancy.style = MessageFont::Bold | MessageFont::Italic;
    fancy.color = QColor(QStringLiteral("#7a1f5c"));
    const QString picture = encodeImage(samplePicture());
    const qint64 start = QDateTime::currentMSecsSinceEpoch();

    std::vector<qint64> ns;
    ns.reserve(Messages);
    QElapsedTimer timer;
    for (int i = 0; i < Messages; ++i) {
        const bool status = i % 10 == 9;
        ChatMessage message(TextMessage);
        if (!status) {
            const bool own = i % 3 == 0;
            message.info.setTime(QDateTime::fromMSecsSinceEpoch(start + i * 1000));
            message.info.setSender(own ? QStringLiteral("me") : QStringLiteral("bob"));
            message.package.font = own ? plain : fancy;
            message.package.appendText(
                QStringLiteral("Message %1: the minutes of the meeting are on the shared drive, "
                               "please have a look before Friday.")
                    .arg(i));
            if (i % 50 == 0)
                message.package.content.append(QJsonArray{
                    QStringLiteral("image"), QJsonObject{{QStringLiteral("buffer"), picture}}});
        }
        timer.start();
        if (status)
            view.addStatus(QStringLiteral("Status line %1").arg(i), (i / 10) % 3);
        else
            view.addMessage(message);
        QCoreApplication::processEvents();
        ns.push_back(timer.nsecsElapsed());
    }

    const double first = meanMicroseconds(ns, 0, Window);
    const double last = meanMicroseconds(ns, Messages - Window, Window);
    std::vector<qint64> sorted = ns;
    std::sort(sorted.begin(), sorted.end());
    std::printf("messages appended:              %d (%d blocks)\n", Messages,
                view.document()->blockCount());
    std::printf("mean per message, first %d:   %8.1f us\n", Window, first);
    std::printf("mean per message, last %d:    %8.1f us\n", Window, last);
    std::printf("ratio last / first:             %8.2f (target at most 2)\n", last / first);
    std::printf("median per message:             %8.1f us (target under 1000)\n",
                double(sorted[sorted.size() / 2]) / 1000.0);
    std::printf("90th percentile per message:    %8.1f us\n",
                double(sorted[sorted.size() * 9 / 10]) / 1000.0);
    std::printf("memory at the end:              %s resident, %s peak\n",
                qPrintable(memoryLine("VmRSS:")), qPrintable(memoryLine("VmHWM:")));
    return 0;
}
