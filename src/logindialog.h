// SPDX-License-Identifier: MIT
#pragma once

#include <QDialog>

namespace MeetingSupport {

class LoginDialogPrivate;

// Asks for the name under which the user appears on the voice server and remembers it.
class LoginDialog : public QDialog
{
    Q_OBJECT
public:
    LoginDialog();
    ~LoginDialog() override;

    // The name as typed, unchanged.
    QString userName() const;

    void accept() override;

private:
    LoginDialogPrivate* d;
    friend class LoginDialogPrivate;
};

} // namespace MeetingSupport
