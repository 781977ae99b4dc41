// SPDX-License-Identifier: MIT
#include "checkupdatedlg.h"

#include "singleapplication.h"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace RylSystem {

namespace {
constexpr int PollInterval = 200;
}

CheckUpdateDlg::CheckUpdateDlg(QWidget* parent) : CheckUpdateDlg(QString(), parent) {}

CheckUpdateDlg::CheckUpdateDlg(const QString& key, QWidget* parent)
    : QDialog(parent)
    , m_updater(new SingleApplication(key.isEmpty() ? QStringLiteral("RYL Auto Updater") +
                                                          QCoreApplication::applicationName()
                                                    : key,
                                      false, this))
    , m_label(new QLabel(tr("Checking for updates..."), this))
    , m_progress(new QProgressBar(this))
    , m_poll(new QTimer(this))
{
    setObjectName(QStringLiteral("CheckUpdateDlg"));
    setWindowTitle(tr("Check for Updates"));
    setModal(true);
    m_progress->setRange(0, 0); // busy: the updater reports no progress of its own
    m_progress->setTextVisible(false);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_label);
    layout->addWidget(m_progress);
    layout->addWidget(buttons);
    resize(360, 120);

    m_poll->setInterval(PollInterval);
    connect(m_poll, &QTimer::timeout, this, &CheckUpdateDlg::poll);
    m_poll->start();
}

CheckUpdateDlg::~CheckUpdateDlg() = default;

void CheckUpdateDlg::setStartTimeout(int msec)
{
    m_startTimeout = msec;
}

void CheckUpdateDlg::poll()
{
    if (m_updater->isRunning()) {
        m_seenRunning = true;
        return;
    }
    if (m_seenRunning) {
        m_poll->stop();
        accept();
        return;
    }
    m_waited += m_poll->interval();
    if (m_waited >= m_startTimeout) {
        m_poll->stop();
        m_progress->setRange(0, 1);
        m_label->setText(tr("The updater did not start; no update check is running."));
    }
}

} // namespace RylSystem
