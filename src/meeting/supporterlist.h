// SPDX-License-Identifier: MIT
#pragma once

#include <QWidget>

namespace MeetingSupport {

class SupporterListPrivate;

// Everyone connected to the voice server, the own client included, with an icon telling
// whether the person is in the lobby or in a meeting. Display only.
class SupporterList : public QWidget
{
    Q_OBJECT
public:
    explicit SupporterList(QWidget* parent = nullptr);
    ~SupporterList() override;

    // Rebuilds the entries from the server; the view is reset only on a change.
    void refresh();

private:
    SupporterListPrivate* d;
    friend class SupporterListPrivate;
};

} // namespace MeetingSupport
