// SPDX-License-Identifier: MIT
// Draws the client's icons, splash image and window icon into resources/. Some pictograms are
// rendered from the public-domain Tango SVGs; the rest are drawn here in the Tango palette so
// the set looks like one family.
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QSvgRenderer>
#include <cstdio>
#include <functional>

namespace {

// Tango palette.
namespace c {
const QColor butter1("#fce94f"), butter2("#edd400"), butter3("#c4a000");
const QColor orange1("#fcaf3e"), orange2("#f57900"), orange3("#ce5c00");
const QColor choc3("#8f5902");
const QColor green1("#8ae234"), green2("#73d216"), green3("#4e9a06");
const QColor sky1("#729fcf"), sky2("#3465a4"), sky3("#204a87");
const QColor red1("#ef2929"), red2("#cc0000"), red3("#a40000");
const QColor alu1("#eeeeec"), alu2("#d3d7cf"), alu3("#babdb6"), alu4("#888a85"), alu5("#555753"),
    alu6("#2e3436");
} // namespace c

QString g_tango;
bool g_ok = true;
// With --only, just these files are written; the others are drawn and dropped, so Tango need
// not be installed to change an icon of our own.
QStringList g_only;

QImage canvas(int w, int h)
{
    QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    return img;
}

void begin(QPainter& p)
{
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.setRenderHint(QPainter::TextAntialiasing);
}

// Renders a Tango SVG into the rectangle.
void tango(QPainter& p, const QString& name, const QRectF& r)
{
    QSvgRenderer svg(g_tango + QLatin1Char('/') + name + QStringLiteral(".svg"));
    if (!svg.isValid()) {
        if (g_only.isEmpty()) {
            std::fprintf(stderr, "iconforge: cannot load %s\n", qPrintable(name));
            g_ok = false;
        }
        return;
    }
    svg.render(&p, r);
}

// An icon drawn on a 64-unit grid, scaled to `size` pixels.
QImage icon(int size, const std::function<void(QPainter&)>& draw)
{
    QImage img = canvas(size, size);
    QPainter p(&img);
    begin(p);
    p.scale(size / 64.0, size / 64.0);
    draw(p);
    return img;
}

QLinearGradient vgrad(qreal y0, qreal y1, const QColor& a, const QColor& b)
{
    QLinearGradient g(0, y0, 0, y1);
    g.setColorAt(0, a);
    g.setColorAt(1, b);
    return g;
}

// A text glyph as a path, centred on the point.
QPainterPath glyph(const QString& text, const QFont& font, QPointF centre)
{
    QPainterPath path;
    path.addText(0, 0, font, text);
    QRectF b = path.boundingRect();
    return path.translated(centre - b.center());
}

QFont font(const QString& family, int px, bool bold, bool italic = false)
{
    QFont f(family);
    f.setPixelSize(px);
    f.setBold(bold);
    f.setItalic(italic);
    f.setStyleStrategy(QFont::PreferAntialias);
    return f;
}

// ----- badges (drawn on the 64-unit grid) -----

// A round badge with a white rim, the shape every badge here shares.
void disc(QPainter& p, QPointF o, qreal r, const QColor& light, const QColor& dark,
          const QColor& edge)
{
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 230));
    p.drawEllipse(o, r + 2.5, r + 2.5);
    p.setBrush(vgrad(o.y() - r, o.y() + r, light, dark));
    p.setPen(QPen(edge, 1.5));
    p.drawEllipse(o, r, r);
}

void badgeCross(QPainter& p, QPointF o = {48, 48}, qreal r = 13)
{
    disc(p, o, r, c::red1, c::red2, c::red3);
    QPen pen(Qt::white, r * 0.36, Qt::SolidLine, Qt::RoundCap);
    p.setPen(pen);
    qreal d = r * 0.42;
    p.drawLine(o + QPointF(-d, -d), o + QPointF(d, d));
    p.drawLine(o + QPointF(-d, d), o + QPointF(d, -d));
}

void badgePlus(QPainter& p, QPointF o = {48, 48}, qreal r = 13)
{
    disc(p, o, r, c::green1, c::green3, c::green3.darker(130));
    p.setPen(QPen(Qt::white, r * 0.38, Qt::SolidLine, Qt::RoundCap));
    qreal d = r * 0.52;
    p.drawLine(o + QPointF(-d, 0), o + QPointF(d, 0));
    p.drawLine(o + QPointF(0, -d), o + QPointF(0, d));
}

void badgeRecord(QPainter& p, QPointF o = {48, 48}, qreal r = 12)
{
    disc(p, o, r, c::red1, c::red2, c::red3);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 90));
    p.drawEllipse(o + QPointF(-r * 0.25, -r * 0.35), r * 0.45, r * 0.3);
}

void badgePlay(QPainter& p, QPointF o = {48, 48}, qreal r = 12)
{
    disc(p, o, r, c::green1, c::green3, c::green3.darker(130));
    QPainterPath t;
    t.moveTo(o + QPointF(-r * 0.32, -r * 0.5));
    t.lineTo(o + QPointF(r * 0.58, 0));
    t.lineTo(o + QPointF(-r * 0.32, r * 0.5));
    t.closeSubpath();
    p.setPen(QPen(Qt::white, 1.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::white);
    p.drawPath(t);
}

void badgeSend(QPainter& p, QPointF o = {48, 48}, qreal r = 12)
{
    disc(p, o, r, c::green1, c::green3, c::green3.darker(130));
    p.setPen(QPen(Qt::white, r * 0.32, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    qreal d = r * 0.5;
    p.drawLine(o + QPointF(-d, 0), o + QPointF(d, 0));
    p.drawLine(o + QPointF(d * 0.1, -d * 0.85), o + QPointF(d, 0));
    p.drawLine(o + QPointF(d * 0.1, d * 0.85), o + QPointF(d, 0));
}

// A padlock in a box 24 wide and 28 high whose top-left corner is `tl`.
void padlock(QPainter& p, QPointF tl, qreal s = 1.0)
{
    p.save();
    p.translate(tl);
    p.scale(s, s);
    QPainterPath shackle;
    shackle.moveTo(5.5, 14);
    shackle.lineTo(5.5, 8.5);
    shackle.arcTo(QRectF(5.5, 1.5, 13, 14), 180, -180);
    shackle.lineTo(18.5, 14);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(255, 255, 255, 230), 8, Qt::SolidLine, Qt::RoundCap));
    p.drawPath(shackle);
    p.setPen(QPen(c::alu5, 5, Qt::SolidLine, Qt::FlatCap));
    p.drawPath(shackle);
    p.setPen(QPen(c::alu2, 2.2, Qt::SolidLine, Qt::FlatCap));
    p.drawPath(shackle);
    QRectF body(1, 12, 22, 15);
    p.setPen(QPen(QColor(255, 255, 255, 230), 3));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(body.adjusted(-1, -1, 1, 1), 3.5, 3.5);
    p.setPen(QPen(c::choc3, 1.5));
    p.setBrush(vgrad(body.top(), body.bottom(), c::butter1, c::butter3));
    p.drawRoundedRect(body, 3, 3);
    p.setPen(Qt::NoPen);
    p.setBrush(c::choc3);
    p.drawEllipse(QPointF(12, 18.3), 2.4, 2.4);
    p.drawRect(QRectF(11, 18.5, 2, 5));
    p.restore();
}

// ----- own pictograms -----

// The program's emblem: two speech bubbles on a blue tile.
void emblem(QPainter& p)
{
    QRectF tile(3, 3, 58, 58);
    p.setPen(QPen(c::sky3, 1.5));
    QLinearGradient g(0, 3, 0, 61);
    g.setColorAt(0, c::sky1);
    g.setColorAt(1, c::sky2);
    p.setBrush(g);
    p.drawRoundedRect(tile, 13, 13);
    p.setPen(QPen(QColor(255, 255, 255, 70), 1.2));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(tile.adjusted(1.6, 1.6, -1.6, -1.6), 11.5, 11.5);

    // Back bubble, tail to the right.
    QPainterPath back;
    back.addRoundedRect(QRectF(24, 11, 29, 21), 8, 8);
    QPainterPath tail1;
    tail1.moveTo(42, 30);
    tail1.lineTo(50, 38);
    tail1.lineTo(47, 29);
    back = back.united(tail1);
    p.setPen(Qt::NoPen);
    p.setBrush(c::butter1);
    p.drawPath(back);

    // Front bubble, tail to the left.
    QPainterPath front;
    front.addRoundedRect(QRectF(10, 22, 35, 25), 9, 9);
    QPainterPath tail2;
    tail2.moveTo(17, 45);
    tail2.lineTo(13, 54);
    tail2.lineTo(25, 46);
    front = front.united(tail2);
    p.setPen(QPen(c::sky3, 2));
    p.setBrush(Qt::white);
    p.drawPath(front);
    p.setPen(Qt::NoPen);
    p.setBrush(c::sky2);
    for (int i = 0; i < 3; ++i)
        p.drawEllipse(QPointF(19.5 + i * 8, 34.5), 3, 3);
}

// A person's head and shoulders, filled with the current brush.
void person(QPainter& p, QPointF head, qreal s)
{
    QPainterPath body;
    body.addEllipse(head, 8.5 * s, 8.5 * s);
    QPainterPath shoulders;
    QRectF b(head.x() - 17 * s, head.y() + 11 * s, 34 * s, 30 * s);
    shoulders.addRoundedRect(b, 14 * s, 14 * s);
    p.drawPath(body.united(shoulders));
}

// A status avatar: a coloured disc with one person (in the lobby) or two (in a meeting).
void avatar(QPainter& p, const QColor& light, const QColor& dark, bool group)
{
    QPainterPath clip;
    clip.addEllipse(QPointF(32, 32), 29, 29);
    p.setPen(QPen(dark.darker(125), 2));
    p.setBrush(vgrad(3, 61, light, dark));
    p.drawPath(clip);
    p.save();
    p.setClipPath(clip);
    p.setPen(Qt::NoPen);
    if (group) {
        p.setBrush(QColor(255, 255, 255, 170));
        person(p, {43, 22}, 0.85);
        p.setPen(QPen(dark, 2.5));
        p.setBrush(Qt::white);
        person(p, {25, 27}, 1.0);
    } else {
        p.setBrush(Qt::white);
        person(p, {32, 24}, 1.05);
    }
    p.restore();
}

// A magnifying glass with a symbol in its lens.
void magnifier(QPainter& p, const std::function<void(QPainter&, QPointF)>& symbol)
{
    QPointF o(26, 26);
    p.setPen(QPen(c::alu6, 9, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(42, 42), QPointF(56, 56));
    p.setPen(QPen(c::alu5, 5, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(42, 42), QPointF(56, 56));
    QRadialGradient glass(o + QPointF(-5, -6), 24);
    glass.setColorAt(0, QColor(255, 255, 255, 250));
    glass.setColorAt(1, QColor("#dbe7f5"));
    p.setBrush(glass);
    p.setPen(QPen(c::alu5, 5));
    p.drawEllipse(o, 19, 19);
    p.setPen(QPen(c::alu3, 2));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(o, 19, 19);
    symbol(p, o);
}

void zoomSign(QPainter& p, QPointF o, bool plus)
{
    p.setPen(QPen(c::sky2, 5, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(o + QPointF(-9, 0), o + QPointF(9, 0));
    if (plus)
        p.drawLine(o + QPointF(0, -9), o + QPointF(0, 9));
}

// A bold letter in the dark text colour, optionally with a bar under it.
void letter(QPainter& p, const QString& text, const QFont& f, QPointF centre)
{
    QPainterPath path = glyph(text, f, centre);
    // A faint light rim keeps the dark letter readable on a dark button.
    p.setPen(QPen(QColor(255, 255, 255, 160), 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPath(path);
    p.setPen(Qt::NoPen);
    p.setBrush(c::alu6);
    p.drawPath(path);
}

// A tray under an arrow, for upload and download.
void tray(QPainter& p)
{
    QPainterPath t;
    t.moveTo(8, 44);
    t.lineTo(8, 56);
    t.lineTo(56, 56);
    t.lineTo(56, 44);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(c::alu5, 7, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(t);
    p.setPen(QPen(c::alu3, 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(t);
}

// A room tile: a light card; `dashed` marks the tile that creates one.
QImage roomTile(int size, bool dashed, const std::function<void(QPainter&)>& inside)
{
    QImage img = canvas(size, size);
    QPainter p(&img);
    begin(p);
    p.scale(size / 128.0, size / 128.0);
    QRectF card(6, 6, 116, 116);
    if (dashed) {
        p.setBrush(QColor("#f5f8fc"));
        QPen pen(c::sky1, 3, Qt::CustomDashLine, Qt::RoundCap);
        pen.setDashPattern({3, 2.5});
        p.setPen(pen);
    } else {
        p.setBrush(vgrad(6, 122, QColor("#ffffff"), QColor("#e4ebf4")));
        p.setPen(QPen(c::alu3, 2));
    }
    p.drawRoundedRect(card, 18, 18);
    inside(p);
    return img;
}

// ----- output -----

bool save(const QImage& img, const QString& path)
{
    if (!g_only.isEmpty() && !g_only.contains(QFileInfo(path).fileName()))
        return true;
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (!img.save(path, "PNG", 9)) {
        std::fprintf(stderr, "iconforge: cannot write %s\n", qPrintable(path));
        g_ok = false;
        return false;
    }
    return true;
}

// A Windows icon file; every size is stored as PNG data, which Windows Vista and later and Qt
// read, and which keeps the file small.
bool saveIco(const QList<QImage>& images, const QString& path)
{
    QList<QByteArray> blobs;
    for (const QImage& img : images) {
        QByteArray data;
        QBuffer buf(&data);
        buf.open(QIODevice::WriteOnly);
        img.convertToFormat(QImage::Format_ARGB32).save(&buf, "PNG", 9);
        blobs << data;
    }
    QByteArray out;
    auto u16 = [&out](quint16 v) { out.append(char(v & 0xff)).append(char(v >> 8)); };
    auto u32 = [&](quint32 v) {
        u16(quint16(v & 0xffff));
        u16(quint16(v >> 16));
    };
    u16(0);
    u16(1);
    u16(quint16(images.size()));
    quint32 offset = 6 + 16 * quint32(images.size());
    for (int i = 0; i < images.size(); ++i) {
        int w = images[i].width(), h = images[i].height();
        out.append(char(w >= 256 ? 0 : w)).append(char(h >= 256 ? 0 : h));
        out.append(char(0)).append(char(0));
        u16(1);
        u16(32);
        u32(quint32(blobs[i].size()));
        u32(offset);
        offset += quint32(blobs[i].size());
    }
    for (const QByteArray& b : blobs)
        out.append(b);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(out) != out.size()) {
        std::fprintf(stderr, "iconforge: cannot write %s\n", qPrintable(path));
        g_ok = false;
        return false;
    }
    return true;
}

// Every icon on white and on the main window's dark bar, at the sizes the program shows them.
void contactSheet(const QString& root, const QString& out)
{
    QStringList files;
    for (const QString& dir : {QStringLiteral("images"), QStringLiteral("qml/images")}) {
        for (const QString& f : QDir(root + QLatin1Char('/') + dir)
                                    .entryList({QStringLiteral("*.png")}, QDir::Files, QDir::Name))
            files << dir + QLatin1Char('/') + f;
    }
    files.removeAll(QStringLiteral("images/splash.png"));
    const int cw = 250, ch = 76, cols = 4;
    int rows = (files.size() + cols - 1) / cols;
    QImage sheet(cols * cw, rows * ch, QImage::Format_ARGB32_Premultiplied);
    sheet.fill(Qt::white);
    QPainter p(&sheet);
    begin(p);
    p.setFont(font(QStringLiteral("DejaVu Sans"), 10, false));
    for (int i = 0; i < files.size(); ++i) {
        QImage img(root + QLatin1Char('/') + files[i]);
        int x = (i % cols) * cw, y = (i / cols) * ch;
        p.fillRect(QRect(x + 116, y, 124, 56), QColor(105, 105, 105));
        QImage s48 = img.scaled(48, 48, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        QImage s32 = img.scaled(32, 32, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        QImage s16 = img.scaled(16, 16, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        p.drawImage(x + 4, y + 4, s48);
        p.drawImage(x + 58, y + 12, s32);
        p.drawImage(x + 96, y + 20, s16);
        p.drawImage(x + 122, y + 20, s16);
        p.drawImage(x + 144, y + 12, s32);
        p.drawImage(x + 182, y + 4, s48);
        p.setPen(Qt::black);
        p.drawText(QRect(x + 2, y + 58, cw - 4, 16), Qt::AlignLeft, files[i]);
    }
    p.end();
    save(sheet, out);
}

} // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    QStringList args = app.arguments();
    if (args.size() < 2) {
        std::fprintf(stderr,
                     "usage: iconforge RESOURCES_DIR [TANGO_SCALABLE_DIR] [--sheet OUT.png] "
                     "[--only FILE.png,...]\n");
        return 2;
    }
    QString sheetOut;
    int sheetAt = args.indexOf(QStringLiteral("--sheet"));
    if (sheetAt > 0 && sheetAt + 1 < args.size()) {
        sheetOut = args[sheetAt + 1];
        args.erase(args.begin() + sheetAt, args.begin() + sheetAt + 2);
    }
    const int onlyAt = args.indexOf(QStringLiteral("--only"));
    if (onlyAt > 0 && onlyAt + 1 < args.size()) {
        g_only = args[onlyAt + 1].split(QLatin1Char(','), Qt::SkipEmptyParts);
        args.erase(args.begin() + onlyAt, args.begin() + onlyAt + 2);
    }
    const QString root = args[1];
    g_tango = args.size() > 2 ? args[2] : QStringLiteral("/usr/share/icons/Tango/scalable");
    const QString img = root + QStringLiteral("/images/");
    const QString qml = root + QStringLiteral("/qml/images/");
    const int S = 64;

    // ----- main window, meeting and login -----
    save(icon(128, emblem), img + "meeting.png");
    saveIco({icon(16, emblem), icon(32, emblem), icon(48, emblem), icon(256, emblem)},
            img + "meeting.ico");
    save(icon(S,
              [](QPainter& p) {
                  QRectF r(4, 4, 56, 56);
                  p.setPen(QPen(c::sky3, 2));
                  QRadialGradient g(QPointF(24, 20), 40);
                  g.setColorAt(0, c::sky1.lighter(115));
                  g.setColorAt(1, c::sky2);
                  p.setBrush(g);
                  p.drawEllipse(r);
                  p.setPen(Qt::NoPen);
                  p.setBrush(Qt::white);
                  p.drawEllipse(QPointF(32, 18.5), 4.6, 4.6);
                  p.drawRoundedRect(QRectF(27.5, 26, 9, 25), 2, 2);
              }),
         img + "about.png");
    save(icon(S,
              [](QPainter& p) {
                  tango(p, "apps/system-users", QRectF(0, 2, 58, 58));
                  badgePlus(p, {49, 49}, 12);
              }),
         img + "invite_members.png");
    save(icon(S, [](QPainter& p) { tango(p, "emblems/emblem-system", QRectF(2, 2, 60, 60)); }),
         img + "setting.png");
    save(icon(S, [](QPainter& p) { avatar(p, c::green1, c::green3, false); }), img + "normal.png");
    save(icon(S, [](QPainter& p) { avatar(p, c::orange1, c::orange3, true); }),
         img + "meetting.png");
    auto people = [](QPainter& p) { tango(p, "apps/system-users", QRectF(20, 18, 88, 88)); };
    save(roomTile(128, false, people), img + "room.png");
    save(roomTile(128, false,
                  [&](QPainter& p) {
                      people(p);
                      padlock(p, {80, 70}, 1.55);
                  }),
         img + "room_lock.png");
    save(roomTile(128, true,
                  [](QPainter& p) {
                      QPointF o(64, 64);
                      p.setPen(Qt::NoPen);
                      p.setBrush(vgrad(30, 98, c::sky1, c::sky2));
                      QPainterPath plus;
                      plus.addRoundedRect(QRectF(o.x() - 9, o.y() - 32, 18, 64), 5, 5);
                      plus.addRoundedRect(QRectF(o.x() - 32, o.y() - 9, 64, 18), 5, 5);
                      plus.setFillRule(Qt::WindingFill);
                      p.setPen(QPen(c::sky3, 2));
                      p.drawPath(plus.simplified());
                  }),
         img + "create_room.png");

    // A member's tile while they are heard: a ring around the avatar.
    save(icon(S,
              [](QPainter& p) {
                  p.setBrush(Qt::NoBrush);
                  p.setPen(QPen(QColor(78, 154, 6, 90), 7));
                  p.drawEllipse(QRectF(4, 4, 56, 56));
                  p.setPen(QPen(c::green2, 4));
                  p.drawEllipse(QRectF(4, 4, 56, 56));
              }),
         img + "talking.png");
    // Badges on a member's tile for a microphone or speakers that are off: the device on a
    // white disc, struck through. Drawn from the chat bar's own device icons.
    auto mutedBadge = [&](const QString& device) {
        const QImage glyph(qml + device);
        if (glyph.isNull()) {
            std::fprintf(stderr, "iconforge: cannot load %s\n", qPrintable(qml + device));
            g_ok = false;
        }
        return icon(32, [glyph](QPainter& p) {
            p.setPen(QPen(c::alu4, 2));
            p.setBrush(Qt::white);
            p.drawEllipse(QRectF(2, 2, 60, 60));
            p.drawImage(QRectF(12, 12, 40, 40), glyph);
            p.setPen(QPen(c::red2, 6, Qt::SolidLine, Qt::RoundCap));
            p.drawLine(QPointF(14, 14), QPointF(50, 50));
        });
    };
    save(mutedBadge(QStringLiteral("micro_o.png")), img + "muted_microphone.png");
    save(mutedBadge(QStringLiteral("volume_o.png")), img + "muted_speakers.png");
    // The badge of a member who shares their screen: a display on a white disc ringed in
    // the colour of sending.
    save(icon(32,
              [](QPainter& p) {
                  p.setPen(QPen(c::green3, 4));
                  p.setBrush(Qt::white);
                  p.drawEllipse(QRectF(3, 3, 58, 58));
                  tango(p, "devices/video-display", QRectF(12, 11, 40, 40));
              }),
         img + "sharing_screen.png");

    // The splash: the emblem and the program's name on a blue field.
    {
        QImage s(480, 300, QImage::Format_ARGB32_Premultiplied);
        QPainter p(&s);
        begin(p);
        QLinearGradient g(0, 0, 480, 300);
        g.setColorAt(0, c::sky2);
        g.setColorAt(1, c::sky3.darker(115));
        p.fillRect(s.rect(), g);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(255, 255, 255, 16));
        p.drawEllipse(QPointF(420, 40), 150, 150);
        p.drawEllipse(QPointF(40, 300), 110, 110);
        p.save();
        p.translate(48, 86);
        p.scale(128 / 64.0, 128 / 64.0);
        emblem(p);
        p.restore();
        p.setPen(Qt::white);
        p.setFont(font(QStringLiteral("DejaVu Sans"), 46, true));
        p.drawText(QRectF(196, 96, 270, 60), Qt::AlignLeft | Qt::AlignVCenter, "Meeting");
        p.setPen(QColor("#d6e3f3"));
        p.setFont(font(QStringLiteral("DejaVu Sans"), 16, false));
        p.drawText(QRectF(199, 156, 270, 24), Qt::AlignLeft | Qt::AlignVCenter,
                   "Meetings and remote support");
        p.setPen(QPen(QColor(255, 255, 255, 60), 1));
        p.drawLine(QPointF(0, 299.5), QPointF(480, 299.5));
        p.end();
        save(s.convertToFormat(QImage::Format_RGB32), img + "splash.png");
    }

    // ----- chat, file list, image viewer and option pages -----
    const QString sans = QStringLiteral("DejaVu Sans"), serif = QStringLiteral("DejaVu Serif");
    save(icon(S,
              [&](QPainter& p) {
                  letter(p, "B", font(serif, 50, true), {32, 32});
              }),
         qml + "textbold.png");
    save(icon(S,
              [&](QPainter& p) {
                  letter(p, "I", font(serif, 50, true, true), {32, 32});
              }),
         qml + "textitalic.png");
    save(icon(S,
              [&](QPainter& p) {
                  letter(p, "U", font(serif, 44, true), {32, 27});
                  p.fillRect(QRectF(12, 52, 40, 6), c::alu6);
              }),
         qml + "textunder.png");
    save(icon(S,
              [&](QPainter& p) {
                  letter(p, "A", font(serif, 44, true), {32, 26});
                  p.setPen(QPen(c::red3, 1.5));
                  p.setBrush(vgrad(48, 60, c::red1, c::red2));
                  p.drawRoundedRect(QRectF(8, 49, 48, 10), 2, 2);
              }),
         qml + "textcolor.png");
    save(icon(S,
              [&](QPainter& p) {
                  letter(p, "A", font(serif, 46, true), {23, 30});
                  p.setPen(Qt::NoPen);
                  p.setBrush(c::sky2);
                  p.drawPath(glyph("a", font(serif, 36, true, true), {48, 38}));
                  p.fillRect(QRectF(6, 54, 52, 4), c::alu4);
              }),
         qml + "font.png");
    save(icon(S, [](QPainter& p) { tango(p, "emotes/face-smile", QRectF(2, 2, 60, 60)); }),
         qml + "face.png");
    save(
        icon(S,
             [](QPainter& p) { tango(p, "devices/audio-input-microphone", QRectF(0, 0, 64, 64)); }),
        qml + "micro_o.png");
    save(icon(S,
              [](QPainter& p) {
                  tango(p, "devices/audio-input-microphone", QRectF(0, 0, 64, 64));
                  badgeCross(p, {48, 48}, 12);
              }),
         qml + "micro_c.png");
    save(icon(S,
              [](QPainter& p) {
                  tango(p, "devices/audio-input-microphone", QRectF(0, 0, 64, 64));
                  badgeRecord(p, {49, 49}, 11);
              }),
         qml + "capture.png");
    save(icon(S, [](QPainter& p) { tango(p, "status/audio-volume-high", QRectF(0, 0, 64, 64)); }),
         qml + "volume_o.png");
    save(icon(S,
              [](QPainter& p) {
                  tango(p, "status/audio-volume-low", QRectF(0, 0, 64, 64));
                  badgeCross(p, {48, 48}, 12);
              }),
         qml + "volume_c.png");
    save(icon(S,
              [](QPainter& p) {
                  tango(p, "status/audio-volume-high", QRectF(0, 0, 64, 64));
                  badgePlay(p, {49, 49}, 11);
              }),
         qml + "playback.png");
    save(icon(S,
              [](QPainter& p) {
                  tango(p, "apps/preferences-desktop-remote-desktop", QRectF(0, 0, 64, 64));
              }),
         qml + "remote.png");
    // Sharing the own screen: a display sending.
    save(icon(S,
              [](QPainter& p) {
                  tango(p, "devices/video-display", QRectF(0, 0, 60, 60));
                  badgeSend(p, {48, 46}, 12);
              }),
         qml + "share_screen.png");
    save(icon(S, [](QPainter& p) { tango(p, "actions/edit-cut", QRectF(0, 0, 64, 64)); }),
         qml + "scissors.png");
    save(icon(S,
              [](QPainter& p) {
                  tango(p, "mimetypes/text-x-generic", QRectF(-2, 0, 60, 60));
                  badgeSend(p, {48, 48}, 12);
              }),
         qml + "send_file.png");
    save(icon(S, [](QPainter& p) { tango(p, "mimetypes/image-x-generic", QRectF(0, 0, 64, 64)); }),
         qml + "send_image.png");
    save(icon(S, [](QPainter& p) { tango(p, "places/user-trash", QRectF(2, 2, 60, 60)); }),
         qml + "delete.png");
    save(icon(S,
              [](QPainter& p) {
                  tango(p, "actions/go-down", QRectF(10, 0, 44, 44));
                  tray(p);
              }),
         qml + "download.png");
    save(icon(S,
              [](QPainter& p) {
                  tango(p, "actions/go-up", QRectF(10, 0, 44, 44));
                  tray(p);
              }),
         qml + "upload.png");
    save(icon(S,
              [](QPainter& p) {
                  magnifier(p, [](QPainter& q, QPointF o) { zoomSign(q, o, true); });
              }),
         qml + "zoom-in.png");
    save(icon(S,
              [](QPainter& p) {
                  magnifier(p, [](QPainter& q, QPointF o) { zoomSign(q, o, false); });
              }),
         qml + "zoom-out.png");
    save(icon(S,
              [&](QPainter& p) {
                  magnifier(p, [&](QPainter& q, QPointF o) {
                      q.setPen(Qt::NoPen);
                      q.setBrush(c::sky2);
                      q.drawPath(glyph("1:1", font(sans, 15, true), o));
                  });
              }),
         qml + "zoom-original.png");
    save(icon(S,
              [](QPainter& p) {
                  magnifier(p, [](QPainter& q, QPointF o) {
                      q.setPen(QPen(c::sky2, 3.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
                      q.setBrush(Qt::NoBrush);
                      const qreal a = 9, b = 4;
                      for (int sx : {-1, 1})
                          for (int sy : {-1, 1}) {
                              QPointF k = o + QPointF(sx * a, sy * a);
                              q.drawPolyline(
                                  QPolygonF({k - QPointF(0, sy * b), k, k - QPointF(sx * b, 0)}));
                          }
                  });
              }),
         qml + "zoom-fit-window.png");

    // The stand-in shown in a chat while a picture downloads.
    {
        QImage t = canvas(160, 120);
        QPainter p(&t);
        begin(p);
        QRectF frame(4, 4, 152, 112);
        p.setPen(QPen(c::alu3, 2));
        p.setBrush(c::alu1);
        p.drawRoundedRect(frame, 8, 8);
        p.save();
        QPainterPath clip;
        clip.addRoundedRect(frame.adjusted(1, 1, -1, -1), 7, 7);
        p.setClipPath(clip);
        p.setPen(Qt::NoPen);
        p.setBrush(c::alu2);
        p.drawEllipse(QPointF(120, 34), 11, 11);
        QPainterPath hills;
        hills.moveTo(4, 116);
        hills.lineTo(4, 92);
        hills.lineTo(46, 60);
        hills.lineTo(78, 86);
        hills.lineTo(104, 70);
        hills.lineTo(156, 104);
        hills.lineTo(156, 116);
        hills.closeSubpath();
        p.setBrush(c::alu2);
        p.drawPath(hills);
        p.restore();
        QPointF o(80, 60);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(255, 255, 255, 235));
        p.drawEllipse(o, 27, 27);
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(c::alu2, 5));
        p.drawEllipse(o, 21, 21);
        p.setPen(QPen(c::sky2, 5, Qt::SolidLine, Qt::RoundCap));
        p.drawArc(QRectF(o.x() - 21, o.y() - 21, 42, 42), 90 * 16, -250 * 16);
        p.setPen(QPen(c::sky2, 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawLine(o + QPointF(0, -10), o + QPointF(0, 9));
        p.drawPolyline(QPolygonF({o + QPointF(-7, 3), o + QPointF(0, 10), o + QPointF(7, 3)}));
        p.end();
        save(t, qml + "temp_down_image.png");
    }

    if (!sheetOut.isEmpty())
        contactSheet(root, sheetOut);
    return g_ok ? 0 : 1;
}
