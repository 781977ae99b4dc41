// SPDX-License-Identifier: MIT
#pragma once

#include <QApplication>

namespace RylSystem {

// The application base of the maker's programs: a QApplication that knows its build number and
// never lets an exception escape an event handler unreported.
class RylCoreApplication : public QApplication
{
    Q_OBJECT
public:
    RylCoreApplication(int& argc, char** argv);
    ~RylCoreApplication() override;

    static RylCoreApplication* instance();

    // The build this program came from: a CI build number or the commit count.
    QString buildNumber() const;

    // An exception thrown by an event handler is logged with its message and location, shown in
    // a critical message box, and ends the event loop with exit code 1.
    bool notify(QObject* receiver, QEvent* event) override;
};

} // namespace RylSystem
