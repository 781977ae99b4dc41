// SPDX-License-Identifier: MIT
#include "xvfbdisplay.h"

#include <QElapsedTimer>
#include <QTest>
#include <QVector>

#include <cstdlib>
#include <unistd.h>
#include <xcb/xcb.h>

struct XvfbDisplay::Xcb
{
    xcb_connection_t* c = nullptr;
    xcb_screen_t* screen = nullptr;
    xcb_gcontext_t gc = 0;
    xcb_window_t probe = 0;
    QStringList input;
    xcb_keycode_t minCode = 8;
    int perCode = 0;
    QVector<xcb_keysym_t> map;
    ~Xcb()
    {
        if (c)
            xcb_disconnect(c);
    }
};

XvfbDisplay::XvfbDisplay(QSize size) : m_size(size)
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
}

XvfbDisplay::~XvfbDisplay()
{
    stop();
}

bool XvfbDisplay::start(int timeoutMs)
{
    // Xvfb picks a free display number and writes it to a pipe of ours, which it inherits.
    int fds[2];
    if (pipe(fds) != 0)
        return false;
    m_process.setProgram(QStringLiteral("Xvfb"));
    m_process.setArguments(
        {QStringLiteral("-displayfd"), QString::number(fds[1]), QStringLiteral("-screen"),
         QStringLiteral("0"), QStringLiteral("%1x%2x24").arg(m_size.width()).arg(m_size.height()),
         QStringLiteral("-nolisten"), QStringLiteral("tcp"), QStringLiteral("-noreset")});
    m_process.start();
    ::close(fds[1]);
    QByteArray number;
    QElapsedTimer timer;
    timer.start();
    char c;
    while (timer.elapsed() < timeoutMs && ::read(fds[0], &c, 1) == 1 && c != '\n')
        number.append(c);
    ::close(fds[0]);
    if (number.isEmpty())
        return false;
    m_name = QStringLiteral(":") + QString::fromLatin1(number);
    m_x = std::make_unique<Xcb>();
    m_x->c = xcb_connect(m_name.toLatin1().constData(), nullptr);
    if (xcb_connection_has_error(m_x->c))
        return false;
    m_x->screen = xcb_setup_roots_iterator(xcb_get_setup(m_x->c)).data;
    m_x->gc = xcb_generate_id(m_x->c);
    xcb_create_gc(m_x->c, m_x->gc, m_x->screen->root, 0, nullptr);
    return true;
}

void XvfbDisplay::stop()
{
    m_x.reset();
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

bool XvfbDisplay::fill(const QRect& rect, const QColor& color)
{
    if (!m_x)
        return false;
    const uint32_t pixel = color.rgb() & 0xFFFFFF;
    xcb_change_gc(m_x->c, m_x->gc, XCB_GC_FOREGROUND, &pixel);
    const xcb_rectangle_t r{int16_t(rect.x()), int16_t(rect.y()), uint16_t(rect.width()),
                            uint16_t(rect.height())};
    xcb_poly_fill_rectangle(m_x->c, m_x->screen->root, m_x->gc, 1, &r);
    std::free(xcb_get_input_focus_reply(m_x->c, xcb_get_input_focus(m_x->c), nullptr));
    return !xcb_connection_has_error(m_x->c);
}

bool XvfbDisplay::putImage(const QImage& image, const QPoint& at)
{
    if (!m_x)
        return false;
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    // A request carries at most some 256 KiB: a few rows at a time.
    const int rowsPerRequest = qMax(1, (200 * 1024) / rgb.bytesPerLine());
    for (int y = 0; y < rgb.height(); y += rowsPerRequest) {
        const int rows = qMin(rowsPerRequest, rgb.height() - y);
        xcb_put_image(m_x->c, XCB_IMAGE_FORMAT_Z_PIXMAP, m_x->screen->root, m_x->gc,
                      uint16_t(rgb.width()), uint16_t(rows), int16_t(at.x()), int16_t(at.y() + y),
                      0, 24, uint32_t(rgb.bytesPerLine() * rows), rgb.constScanLine(y));
    }
    std::free(xcb_get_input_focus_reply(m_x->c, xcb_get_input_focus(m_x->c), nullptr));
    return !xcb_connection_has_error(m_x->c);
}

bool XvfbDisplay::copyArea(const QRect& source, const QPoint& to)
{
    if (!m_x)
        return false;
    xcb_copy_area(m_x->c, m_x->screen->root, m_x->screen->root, m_x->gc, int16_t(source.x()),
                  int16_t(source.y()), int16_t(to.x()), int16_t(to.y()), uint16_t(source.width()),
                  uint16_t(source.height()));
    xcb_flush(m_x->c);
    return !xcb_connection_has_error(m_x->c);
}

QImage XvfbDisplay::grab()
{
    if (!m_x)
        return QImage();
    QImage image(m_size, QImage::Format_RGB32);
    for (int y = 0; y < m_size.height(); y += 64) {
        const int rows = qMin(64, m_size.height() - y);
        xcb_get_image_reply_t* reply = xcb_get_image_reply(
            m_x->c,
            xcb_get_image(m_x->c, XCB_IMAGE_FORMAT_Z_PIXMAP, m_x->screen->root, 0, int16_t(y),
                          uint16_t(m_size.width()), uint16_t(rows), ~0u),
            nullptr);
        if (!reply)
            return QImage();
        const uint8_t* data = xcb_get_image_data(reply);
        for (int row = 0; row < rows; ++row)
            memcpy(image.scanLine(y + row), data + row * m_size.width() * 4,
                   size_t(m_size.width()) * 4);
        std::free(reply);
    }
    return image;
}

QPoint XvfbDisplay::pointer()
{
    if (!m_x)
        return QPoint(-1, -1);
    xcb_query_pointer_reply_t* reply =
        xcb_query_pointer_reply(m_x->c, xcb_query_pointer(m_x->c, m_x->screen->root), nullptr);
    if (!reply)
        return QPoint(-1, -1);
    const QPoint at(reply->root_x, reply->root_y);
    std::free(reply);
    return at;
}

bool XvfbDisplay::watchInput()
{
    if (!m_x)
        return false;
    Xcb& x = *m_x;
    x.probe = xcb_generate_id(x.c);
    // Input only: what is drawn on the root window stays visible through it.
    const uint32_t values[] = {XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE |
                               XCB_EVENT_MASK_KEY_PRESS};
    xcb_create_window(x.c, 0, x.probe, x.screen->root, 0, 0, uint16_t(m_size.width()),
                      uint16_t(m_size.height()), 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                      XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, values);
    xcb_map_window(x.c, x.probe);
    // Without a window manager the focus must be given.
    xcb_set_input_focus(x.c, XCB_INPUT_FOCUS_POINTER_ROOT, x.probe, XCB_CURRENT_TIME);
    std::free(xcb_get_input_focus_reply(x.c, xcb_get_input_focus(x.c), nullptr));
    return !xcb_connection_has_error(x.c);
}

QStringList XvfbDisplay::input()
{
    if (!m_x)
        return {};
    Xcb& x = *m_x;
    // The keyboard map as it is now: characters typed through lent keys are in it.
    const xcb_setup_t* setup = xcb_get_setup(x.c);
    x.minCode = setup->min_keycode;
    const int count = setup->max_keycode - setup->min_keycode + 1;
    if (xcb_get_keyboard_mapping_reply_t* reply = xcb_get_keyboard_mapping_reply(
            x.c, xcb_get_keyboard_mapping(x.c, setup->min_keycode, uint8_t(count)), nullptr)) {
        x.perCode = reply->keysyms_per_keycode;
        const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(reply);
        x.map = QVector<xcb_keysym_t>(keysyms, keysyms + count * x.perCode);
        std::free(reply);
    }
    while (xcb_generic_event_t* event = xcb_poll_for_event(x.c)) {
        const uint8_t type = event->response_type & 0x7F;
        if (type == XCB_BUTTON_PRESS || type == XCB_BUTTON_RELEASE) {
            const auto* e = reinterpret_cast<xcb_button_press_event_t*>(event);
            x.input.append(QStringLiteral("%1 %2 at %3,%4")
                               .arg(type == XCB_BUTTON_PRESS ? QStringLiteral("press")
                                                             : QStringLiteral("release"))
                               .arg(e->detail)
                               .arg(e->event_x)
                               .arg(e->event_y));
        } else if (type == XCB_KEY_PRESS) {
            const auto* e = reinterpret_cast<xcb_key_press_event_t*>(event);
            const int column = (e->state & XCB_MOD_MASK_SHIFT) ? 1 : 0;
            const int index = (e->detail - x.minCode) * x.perCode + column;
            const xcb_keysym_t keysym = index >= 0 && index < x.map.size() ? x.map[index] : 0;
            QString text;
            if (keysym >= 0x20 && keysym < 0x100)
                text = QChar(int(keysym));
            else if (keysym >= 0x01000100 && keysym <= 0x0110FFFF) {
                const char32_t character = keysym & 0xFFFFFF;
                text = QString::fromUcs4(&character, 1);
            } else
                text = QStringLiteral("0x%1").arg(keysym, 0, 16);
            x.input.append(QStringLiteral("key ") + text);
        }
        std::free(event);
    }
    return x.input;
}
