// SPDX-License-Identifier: MIT
#pragma once

#include <QList>
#include <QPair>
#include <QWidget>

namespace MeetingSupport {

class ShareBannerPrivate;

// The bar at the top of the screen while the own screen is shared: that it is shared, with
// whom, who controls it, and one click (or Ctrl+Alt+Shift+S, from any window) to stop it all.
// The sharer also hands control to a member here, or takes it back. It stays above other
// windows and never takes the keyboard from the program being worked in.
class ShareBanner : public QWidget
{
    Q_OBJECT
public:
    explicit ShareBanner(QWidget* parent = nullptr);
    ~ShareBanner() override;

    // meeting: where the screen is shared; controller: who controls it (empty: nobody);
    // open: the first member to act may take control; helper: who asked to see it (may be
    // empty).
    void setState(const QString& meeting, const QString& controller, bool open,
                  const QString& helper);
    // The members control can be handed to.
    void setMembers(const QList<QPair<quint16, QString>>& members);
    QString text() const;
    // Whether the key combination stops the share from any window (X11).
    bool hasGlobalShortcut() const;
    static QString shortcutText();

signals:
    void stopRequested();
    // Control to member; 0 takes it back.
    void giveControl(quint16 member);

protected:
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    ShareBannerPrivate* d;
    friend class ShareBannerPrivate;
};

} // namespace MeetingSupport
