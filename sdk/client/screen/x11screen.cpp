// SPDX-License-Identifier: MIT
#include "x11screen.h"

#include "screenpacket.h"
#include "voicesdk.h"

#include <QHash>

#include <cstdlib>
#include <cstring>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>
#include <xcb/xtest.h>

namespace voicesdk::screen {

namespace {

// Replies of XCB, freed with free().
template <typename T> using Reply = std::unique_ptr<T, decltype(&std::free)>;
template <typename T> Reply<T> reply(T* value)
{
    return Reply<T>(value, &std::free);
}

xcb_screen_t* screenOf(xcb_connection_t* c, int number)
{
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; it.rem; ++i, xcb_screen_next(&it))
        if (i == number)
            return it.data;
    return nullptr;
}

bool displayGone(xcb_connection_t* c)
{
    return !c || xcb_connection_has_error(c) != 0;
}

// The descriptions users see for a display that cannot be opened.
QString displayName(const QByteArray& display)
{
    return display.isEmpty() ? QString::fromLocal8Bit(qgetenv("DISPLAY"))
                             : QString::fromLocal8Bit(display);
}

} // namespace

struct X11Capture::Xcb
{
    xcb_connection_t* c = nullptr;
    xcb_window_t root = 0;
    int shmId = -1;
    void* shm = nullptr;
    xcb_shm_seg_t segment = 0;
    xcb_damage_damage_t damage = 0;
    xcb_xfixes_region_t region = 0;
    uint8_t damageEvent = 0;
    uint8_t xfixesEvent = 0;
    uint8_t randrEvent = 0;
    bool randr = false;
    bool damageWaiting = false;

    ~Xcb()
    {
        if (c && !displayGone(c)) {
            if (damage)
                xcb_damage_destroy(c, damage);
            if (region)
                xcb_xfixes_destroy_region(c, region);
            if (segment)
                xcb_shm_detach(c, segment);
            xcb_flush(c);
        }
        if (shm)
            shmdt(shm);
        if (c)
            xcb_disconnect(c);
    }
};

X11Capture::~X11Capture() = default;

std::unique_ptr<X11Capture> X11Capture::open(const QByteArray& display, int monitor,
                                             unsigned int* code, QString* error)
{
    // On Wayland the root window of an X11 server beside it shows none of the Wayland windows:
    // a black picture. Such a session shares through the desktop portal, which this is not.
    if (display.isEmpty() && qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland")) {
        *code = ERROR_screen_no_display;
        *error = QStringLiteral(
            "this is a Wayland session: its screen can only be shared through the desktop "
            "portal (ScreenCast), which this build does not use; log in to an X11 session");
        return nullptr;
    }
    if (display.isEmpty() && qEnvironmentVariableIsEmpty("DISPLAY")) {
        *code = ERROR_screen_no_display;
        *error = QStringLiteral("no X11 display to share (DISPLAY is not set)");
        return nullptr;
    }
    std::unique_ptr<X11Capture> capture(new X11Capture);
    capture->m_x = std::make_unique<Xcb>();
    if (!capture->setUp(display, monitor, code)) {
        *error = capture->m_error;
        return nullptr;
    }
    return capture;
}

bool X11Capture::setUp(const QByteArray& display, int monitor, unsigned int* code)
{
    Xcb& x = *m_x;
    *code = ERROR_screen_no_display;
    int screenNumber = 0;
    x.c = xcb_connect(display.isEmpty() ? nullptr : display.constData(), &screenNumber);
    if (displayGone(x.c)) {
        m_error = QStringLiteral("cannot open the X11 display '%1'").arg(displayName(display));
        return false;
    }
    xcb_screen_t* screen = screenOf(x.c, screenNumber);
    if (!screen) {
        m_error = QStringLiteral("the X11 display has no screen %1").arg(screenNumber);
        return false;
    }
    x.root = screen->root;
    // Pixels must be 32 bits of B G R X: what the encoder converts from directly.
    bool thirtyTwo = false;
    xcb_format_iterator_t formats = xcb_setup_pixmap_formats_iterator(xcb_get_setup(x.c));
    for (; formats.rem; xcb_format_next(&formats))
        if (formats.data->depth == screen->root_depth && formats.data->bits_per_pixel == 32)
            thirtyTwo = true;
    if (!thirtyTwo || (screen->root_depth != 24 && screen->root_depth != 32)) {
        m_error = QStringLiteral("a display of depth %1 cannot be shared (24 or 32 bits needed)")
                      .arg(screen->root_depth);
        return false;
    }

    const auto extension = [&](xcb_extension_t* id, const char* what) -> uint8_t {
        const xcb_query_extension_reply_t* data = xcb_get_extension_data(x.c, id);
        if (!data || !data->present) {
            m_error = QStringLiteral("the X11 display lacks the %1 extension").arg(what);
            return 0;
        }
        return data->first_event == 0 ? 1 : data->first_event;
    };
    const uint8_t damageBase = extension(&xcb_damage_id, "DAMAGE");
    const uint8_t xfixesBase = extension(&xcb_xfixes_id, "XFIXES");
    if (!damageBase || !xfixesBase)
        return false;
    x.damageEvent = damageBase + XCB_DAMAGE_NOTIFY;
    x.xfixesEvent = xfixesBase + XCB_XFIXES_CURSOR_NOTIFY;
    // The versions must be asked before their requests are used.
    auto fixes = reply(xcb_xfixes_query_version_reply(
        x.c, xcb_xfixes_query_version(x.c, XCB_XFIXES_MAJOR_VERSION, XCB_XFIXES_MINOR_VERSION),
        nullptr));
    auto damage = reply(xcb_damage_query_version_reply(
        x.c, xcb_damage_query_version(x.c, XCB_DAMAGE_MAJOR_VERSION, XCB_DAMAGE_MINOR_VERSION),
        nullptr));
    if (!fixes || fixes->major_version < 2 || !damage) {
        m_error = QStringLiteral("the X11 display's XFIXES or DAMAGE is too old");
        return false;
    }

    m_area = QRect(0, 0, screen->width_in_pixels, screen->height_in_pixels);
    const xcb_query_extension_reply_t* randr = xcb_get_extension_data(x.c, &xcb_randr_id);
    if (randr && randr->present) {
        auto version =
            reply(xcb_randr_query_version_reply(x.c, xcb_randr_query_version(x.c, 1, 5), nullptr));
        x.randr = version && (version->major_version > 1 || version->minor_version >= 5);
        x.randrEvent = randr->first_event + XCB_RANDR_SCREEN_CHANGE_NOTIFY;
    }
    if (monitor >= 0) {
        auto monitors = x.randr ? reply(xcb_randr_get_monitors_reply(
                                      x.c, xcb_randr_get_monitors(x.c, x.root, 1), nullptr))
                                : Reply<xcb_randr_get_monitors_reply_t>(nullptr, &std::free);
        int index = 0;
        bool found = false;
        if (monitors) {
            xcb_randr_monitor_info_iterator_t it =
                xcb_randr_get_monitors_monitors_iterator(monitors.get());
            for (; it.rem; ++index, xcb_randr_monitor_info_next(&it))
                if (index == monitor) {
                    m_area =
                        QRect(it.data->x, it.data->y, it.data->width, it.data->height) & m_area;
                    found = true;
                    break;
                }
        }
        if (!found || m_area.isEmpty()) {
            *code = ERROR_parameter_invalid;
            m_error = QStringLiteral("the X11 display has no monitor %1").arg(monitor);
            return false;
        }
    }
    if (m_area.width() > protocol::screen::MaxWidth ||
        m_area.height() > protocol::screen::MaxHeight) {
        *code = ERROR_screen_limit_reached;
        m_error = QStringLiteral("a screen of %1 x %2 pixels is larger than %3 x %4")
                      .arg(m_area.width())
                      .arg(m_area.height())
                      .arg(protocol::screen::MaxWidth)
                      .arg(protocol::screen::MaxHeight);
        return false;
    }
    if (x.randr)
        xcb_randr_select_input(x.c, x.root, XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE);

    // Shared memory when the server is on this machine; pictures over the socket otherwise.
    const xcb_query_extension_reply_t* shm = xcb_get_extension_data(x.c, &xcb_shm_id);
    if (shm && shm->present) {
        const size_t bytes = size_t(m_area.width()) * size_t(m_area.height()) * 4;
        x.shmId = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
        if (x.shmId >= 0) {
            x.shm = shmat(x.shmId, nullptr, SHM_RDONLY);
            if (x.shm == reinterpret_cast<void*>(-1))
                x.shm = nullptr;
            if (x.shm) {
                x.segment = xcb_generate_id(x.c);
                xcb_generic_error_t* failure = xcb_request_check(
                    x.c, xcb_shm_attach_checked(x.c, x.segment, uint32_t(x.shmId), 0));
                if (failure) {
                    std::free(failure);
                    x.segment = 0;
                    shmdt(x.shm);
                    x.shm = nullptr;
                }
            }
            // Gone with the last user, however this process ends.
            shmctl(x.shmId, IPC_RMID, nullptr);
        }
    }

    x.damage = xcb_generate_id(x.c);
    xcb_damage_create(x.c, x.damage, x.root, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    x.region = xcb_generate_id(x.c);
    xcb_xfixes_create_region(x.c, x.region, 0, nullptr);
    xcb_xfixes_select_cursor_input(x.c, x.root, XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
    xcb_flush(x.c);
    if (displayGone(x.c)) {
        m_error = QStringLiteral("the X11 display closed");
        return false;
    }
    m_damage.append(QRect(QPoint(0, 0), m_area.size()));
    return true;
}

int X11Capture::descriptor() const
{
    return xcb_get_file_descriptor(m_x->c);
}

bool X11Capture::processEvents()
{
    Xcb& x = *m_x;
    while (xcb_generic_event_t* event = xcb_poll_for_event(x.c)) {
        const uint8_t type = event->response_type & 0x7F;
        if (type == x.damageEvent)
            x.damageWaiting = true;
        else if (type == x.xfixesEvent)
            m_cursorChanged = true;
        else if (x.randr && type == x.randrEvent) {
            const auto* change = reinterpret_cast<xcb_randr_screen_change_notify_event_t*>(event);
            if (change->root == x.root) {
                // A monitor's place may change with the screen; its share starts anew.
                const xcb_screen_t* screen = screenOf(x.c, 0);
                if (!screen || screen->width_in_pixels != change->width ||
                    screen->height_in_pixels != change->height || m_area.topLeft() != QPoint() ||
                    m_area.size() != QSize(change->width, change->height))
                    m_resized = true;
            }
        }
        std::free(event);
    }
    if (displayGone(x.c)) {
        m_error = QStringLiteral("the X11 display closed");
        return false;
    }
    if (x.damageWaiting)
        return fetchDamage();
    return true;
}

bool X11Capture::fetchDamage()
{
    Xcb& x = *m_x;
    x.damageWaiting = false;
    xcb_damage_subtract(x.c, x.damage, XCB_NONE, x.region);
    auto parts =
        reply(xcb_xfixes_fetch_region_reply(x.c, xcb_xfixes_fetch_region(x.c, x.region), nullptr));
    if (!parts) {
        if (displayGone(x.c)) {
            m_error = QStringLiteral("the X11 display closed");
            return false;
        }
        return true;
    }
    const xcb_rectangle_t* rects = xcb_xfixes_fetch_region_rectangles(parts.get());
    const int count = xcb_xfixes_fetch_region_rectangles_length(parts.get());
    const QRect bounds(QPoint(0, 0), m_area.size());
    for (int i = 0; i < count; ++i) {
        const QRect rect = QRect(rects[i].x - m_area.x(), rects[i].y - m_area.y(), rects[i].width,
                                 rects[i].height) &
                           bounds;
        if (!rect.isEmpty())
            m_damage.append(rect);
    }
    // Many small pieces cost a request each: one rectangle around them costs less.
    if (m_damage.size() > 32) {
        QRect all;
        for (const QRect& rect : qAsConst(m_damage))
            all |= rect;
        m_damage = {all};
    }
    return true;
}

QVector<QRect> X11Capture::takeDamage()
{
    QVector<QRect> damage;
    damage.swap(m_damage);
    return damage;
}

void X11Capture::damageAll()
{
    m_damage = {QRect(QPoint(0, 0), m_area.size())};
}

bool X11Capture::grab(const QVector<QRect>& rects, const Sink& sink)
{
    Xcb& x = *m_x;
    for (const QRect& rect : rects) {
        const int rowBytes = rect.width() * 4;
        const int16_t rx = int16_t(m_area.x() + rect.x());
        const int16_t ry = int16_t(m_area.y() + rect.y());
        const uchar* source = nullptr;
        Reply<xcb_get_image_reply_t> plain(nullptr, &std::free);
        if (x.segment) {
            auto got = reply(xcb_shm_get_image_reply(
                x.c,
                xcb_shm_get_image(x.c, x.root, rx, ry, uint16_t(rect.width()),
                                  uint16_t(rect.height()), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
                                  x.segment, 0),
                nullptr));
            if (!got)
                break;
            source = static_cast<const uchar*>(x.shm);
        } else {
            plain = reply(xcb_get_image_reply(x.c,
                                              xcb_get_image(x.c, XCB_IMAGE_FORMAT_Z_PIXMAP, x.root,
                                                            rx, ry, uint16_t(rect.width()),
                                                            uint16_t(rect.height()), ~0u),
                                              nullptr));
            if (!plain || xcb_get_image_data_length(plain.get()) < rowBytes * rect.height())
                break;
            source = xcb_get_image_data(plain.get());
        }
        sink(rect, source, rowBytes);
    }
    if (displayGone(x.c)) {
        m_error = QStringLiteral("the X11 display closed");
        return false;
    }
    return true;
}

bool X11Capture::pointer(QPoint* position, bool* inside)
{
    Xcb& x = *m_x;
    auto got = reply(xcb_query_pointer_reply(x.c, xcb_query_pointer(x.c, x.root), nullptr));
    if (!got)
        return !displayGone(x.c);
    const QPoint at(got->root_x, got->root_y);
    *inside = got->same_screen && m_area.contains(at);
    *position = at - m_area.topLeft();
    return true;
}

bool X11Capture::takeCursorChanged()
{
    const bool changed = m_cursorChanged;
    m_cursorChanged = false;
    return changed;
}

bool X11Capture::cursorImage(CursorImage* image)
{
    Xcb& x = *m_x;
    auto got =
        reply(xcb_xfixes_get_cursor_image_reply(x.c, xcb_xfixes_get_cursor_image(x.c), nullptr));
    if (!got || got->width == 0 || got->height == 0)
        return false;
    const int side = protocol::screen::MaxCursorSide;
    image->width = qMin<int>(got->width, side);
    image->height = qMin<int>(got->height, side);
    image->hotX = qMin<int>(got->xhot, image->width - 1);
    image->hotY = qMin<int>(got->yhot, image->height - 1);
    // 32-bit ARGB words: B, G, R, A in memory on this byte order.
    const uint32_t* pixels = xcb_xfixes_get_cursor_image_cursor_image(got.get());
    image->pixels.resize(image->width * image->height * 4);
    for (int row = 0; row < image->height; ++row)
        std::memcpy(image->pixels.data() + row * image->width * 4, pixels + row * got->width,
                    size_t(image->width) * 4);
    return true;
}

// --- input

struct X11Input::Xcb
{
    xcb_connection_t* c = nullptr;
    xcb_window_t root = 0;
    // The keyboard map: keysymsPerCode keysyms for each code from minCode on.
    xcb_keycode_t minCode = 8;
    int keysymsPerCode = 0;
    QVector<xcb_keysym_t> map;
    // Codes without keysyms, lent to characters the map lacks (in turn, so that a character
    // typed a moment ago keeps its code while its client reads it).
    QVector<xcb_keycode_t> spare;
    QHash<xcb_keysym_t, xcb_keycode_t> lent;
    int nextSpare = 0;

    ~Xcb()
    {
        if (c && !displayGone(c)) {
            // The lent codes go back to having no keysym.
            for (auto it = lent.cbegin(); it != lent.cend(); ++it) {
                QVector<xcb_keysym_t> none(keysymsPerCode, 0);
                xcb_change_keyboard_mapping(c, 1, it.value(), uint8_t(keysymsPerCode),
                                            none.constData());
            }
            xcb_flush(c);
        }
        if (c)
            xcb_disconnect(c);
    }

    bool readMap()
    {
        const xcb_setup_t* setup = xcb_get_setup(c);
        minCode = setup->min_keycode;
        const int count = setup->max_keycode - setup->min_keycode + 1;
        auto got = reply(xcb_get_keyboard_mapping_reply(
            c, xcb_get_keyboard_mapping(c, setup->min_keycode, uint8_t(count)), nullptr));
        if (!got)
            return false;
        keysymsPerCode = got->keysyms_per_keycode;
        const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(got.get());
        map = QVector<xcb_keysym_t>(keysyms, keysyms + count * keysymsPerCode);
        spare.clear();
        for (int code = 0; code < count; ++code) {
            bool empty = true;
            for (int column = 0; column < keysymsPerCode; ++column)
                empty = empty && map[code * keysymsPerCode + column] == 0;
            if (empty)
                spare.append(xcb_keycode_t(minCode + code));
        }
        return keysymsPerCode > 0;
    }

    // The code that gives keysym, and whether Shift is needed for it; 0 when none does.
    xcb_keycode_t find(xcb_keysym_t keysym, bool* shift) const
    {
        for (int column = 0; column < qMin(2, keysymsPerCode); ++column)
            for (int code = 0; code * keysymsPerCode < map.size(); ++code)
                if (map[code * keysymsPerCode + column] == keysym) {
                    *shift = column == 1;
                    return xcb_keycode_t(minCode + code);
                }
        if (const xcb_keycode_t code = lent.value(keysym)) {
            *shift = false;
            return code;
        }
        return 0;
    }

    xcb_keycode_t lend(xcb_keysym_t keysym)
    {
        if (spare.isEmpty())
            return 0;
        const xcb_keycode_t code = spare[nextSpare++ % spare.size()];
        for (auto it = lent.begin(); it != lent.end(); ++it)
            if (it.value() == code) {
                lent.erase(it);
                break;
            }
        QVector<xcb_keysym_t> keysyms(keysymsPerCode, 0);
        keysyms[0] = keysym;
        if (keysymsPerCode > 1)
            keysyms[1] = keysym;
        xcb_change_keyboard_mapping(c, 1, code, uint8_t(keysymsPerCode), keysyms.constData());
        // Clients learn of the new map before the key comes.
        std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
        lent.insert(keysym, code);
        return code;
    }
};

X11Input::~X11Input()
{
    if (m_x)
        releaseAll();
}

std::unique_ptr<X11Input> X11Input::open(const QByteArray& display, const QRect& area,
                                         QString* error)
{
    std::unique_ptr<X11Input> input(new X11Input);
    input->m_x = std::make_unique<Xcb>();
    input->m_area = area;
    Xcb& x = *input->m_x;
    int screenNumber = 0;
    x.c = xcb_connect(display.isEmpty() ? nullptr : display.constData(), &screenNumber);
    xcb_screen_t* screen = displayGone(x.c) ? nullptr : screenOf(x.c, screenNumber);
    if (!screen) {
        *error = QStringLiteral("cannot open the X11 display '%1'").arg(displayName(display));
        return nullptr;
    }
    x.root = screen->root;
    const xcb_query_extension_reply_t* test = xcb_get_extension_data(x.c, &xcb_test_id);
    if (!test || !test->present) {
        *error = QStringLiteral("the X11 display lacks the XTEST extension");
        return nullptr;
    }
    std::free(xcb_test_get_version_reply(x.c, xcb_test_get_version(x.c, 2, 2), nullptr));
    if (!x.readMap()) {
        *error = QStringLiteral("cannot read the X11 display's keyboard map");
        return nullptr;
    }
    return input;
}

bool X11Input::flush()
{
    xcb_flush(m_x->c);
    return !displayGone(m_x->c);
}

bool X11Input::move(int x, int y)
{
    xcb_test_fake_input(m_x->c, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, m_x->root,
                        int16_t(m_area.x() + x), int16_t(m_area.y() + y), 0);
    return flush();
}

bool X11Input::button(int button, bool pressed)
{
    if (pressed == m_buttonsDown.contains(quint8(button)))
        return true; // a repeat of what is so already
    xcb_test_fake_input(m_x->c, pressed ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE, uint8_t(button),
                        XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    if (pressed)
        m_buttonsDown.append(quint8(button));
    else
        m_buttonsDown.removeAll(quint8(button));
    return flush();
}

bool X11Input::wheel(int dx, int dy)
{
    // X's wheel is buttons: 4 up, 5 down, 6 left, 7 right; a few steps at most an event.
    const auto steps = [this](int count, uint8_t positive, uint8_t negative) {
        const uint8_t button = count > 0 ? positive : negative;
        for (int i = 0; i < qMin(qAbs(count), 10); ++i) {
            xcb_test_fake_input(m_x->c, XCB_BUTTON_PRESS, button, XCB_CURRENT_TIME, XCB_NONE, 0, 0,
                                0);
            xcb_test_fake_input(m_x->c, XCB_BUTTON_RELEASE, button, XCB_CURRENT_TIME, XCB_NONE, 0,
                                0, 0);
        }
    };
    steps(dy, 4, 5);
    steps(dx, 7, 6);
    return flush();
}

bool X11Input::key(quint32 keysym, bool pressed)
{
    bool shift = false;
    xcb_keycode_t code = m_x->find(keysym, &shift);
    if (!code && pressed)
        code = m_x->lend(keysym);
    if (!code)
        return flush();
    if (pressed == m_keysDown.contains(code))
        return true;
    xcb_test_fake_input(m_x->c, pressed ? XCB_KEY_PRESS : XCB_KEY_RELEASE, code, XCB_CURRENT_TIME,
                        XCB_NONE, 0, 0, 0);
    if (pressed)
        m_keysDown.append(code);
    else
        m_keysDown.removeAll(code);
    return flush();
}

bool X11Input::typeKeysym(quint32 keysym)
{
    bool shift = false;
    xcb_keycode_t code = m_x->find(keysym, &shift);
    if (!code) {
        code = m_x->lend(keysym);
        shift = false;
    }
    if (!code)
        return true; // no key left to lend: the character is skipped
    bool unusedShift = false;
    const xcb_keycode_t shiftCode = shift ? m_x->find(0xffe1, &unusedShift) : 0; // Shift_L
    if (shiftCode)
        xcb_test_fake_input(m_x->c, XCB_KEY_PRESS, shiftCode, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_test_fake_input(m_x->c, XCB_KEY_PRESS, code, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_test_fake_input(m_x->c, XCB_KEY_RELEASE, code, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    if (shiftCode)
        xcb_test_fake_input(m_x->c, XCB_KEY_RELEASE, shiftCode, XCB_CURRENT_TIME, XCB_NONE, 0, 0,
                            0);
    return true;
}

bool X11Input::text(const QString& text)
{
    for (const uint c : text.toUcs4()) {
        quint32 keysym;
        if (c == '\n' || c == '\r')
            keysym = 0xff0d; // Return
        else if (c == '\t')
            keysym = 0xff09; // Tab
        else if (c == '\b')
            keysym = 0xff08; // BackSpace
        else if (c < 0x20 || c == 0x7f)
            continue; // other control characters type nothing
        else if (c < 0x100)
            keysym = c; // Latin-1 keysyms are the characters
        else
            keysym = 0x01000000 | c;
        if (!typeKeysym(keysym))
            return false;
    }
    return flush();
}

void X11Input::releaseAll()
{
    for (const quint8 code : qAsConst(m_keysDown))
        xcb_test_fake_input(m_x->c, XCB_KEY_RELEASE, code, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    for (const quint8 button : qAsConst(m_buttonsDown))
        xcb_test_fake_input(m_x->c, XCB_BUTTON_RELEASE, button, XCB_CURRENT_TIME, XCB_NONE, 0, 0,
                            0);
    m_keysDown.clear();
    m_buttonsDown.clear();
    flush();
}

} // namespace voicesdk::screen
