// SPDX-License-Identifier: MIT
#pragma once

#include <QDialog>

class QLabel;
class QProgressBar;
class QTimer;

namespace RylSystem {

class SingleApplication;

// Shows a running update check. The check itself runs in the updater program; the dialog
// watches the updater's single-instance key and accepts once the updater has come and gone.
// Cancel rejects the dialog (the caller then tells the updater to stop).
class CheckUpdateDlg : public QDialog
{
    Q_OBJECT
public:
    explicit CheckUpdateDlg(QWidget* parent = nullptr);
    // key: the updater's single-instance key; empty means "RYL Auto Updater" + application name.
    CheckUpdateDlg(const QString& key, QWidget* parent);
    ~CheckUpdateDlg() override;

    // How long to wait for the updater to appear before giving up (milliseconds).
    void setStartTimeout(int msec);

private:
    void poll();

    SingleApplication* m_updater;
    QLabel* m_label;
    QProgressBar* m_progress;
    QTimer* m_poll;
    int m_startTimeout = 5000;
    int m_waited = 0;
    bool m_seenRunning = false;
};

} // namespace RylSystem
