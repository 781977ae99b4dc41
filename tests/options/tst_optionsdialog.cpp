// SPDX-License-Identifier: MIT
// The options dialog with its pages on the real voice SDK (no server needed), the about page
// with the real updater program, and the main window's settings button.
#include "checkupdatedlg.h"
#include "mainwindow.h"
#include "options/aboutoption.h"
#include "options/optionsdialog.h"
#include "rylcoreapplication.h"
#include "singleapplication.h"
#include "tsclient/tssdkclient.h"
#include "tsclient/tssdkinterface.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QSlider>
#include <QStackedWidget>
#include <QTcpServer>
#include <QToolButton>
#include <QUuid>
#include <QtTest>

#include <memory>

using namespace MeetingSupport;

namespace {

QByteArray preProcessor(const char* ident)
{
    char* value = nullptr;
    if (ts3client_getPreProcessorConfigValue(TsSDKClient::instance()->sdk()->handlerId(), ident,
                                             &value) != ERROR_ok)
        return QByteArray();
    const QByteArray text(value);
    ts3client_freeMemory(value);
    return text;
}

// Answers the next modal dialog of type T by calling answer on it, and remembers it.
template <typename T> class ModalAnswerer
{
public:
    explicit ModalAnswerer(std::function<void(T*)> answer) : m_answer(std::move(answer))
    {
        m_timer.setInterval(20);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            if (T* dialog = qobject_cast<T*>(QApplication::activeModalWidget())) {
                m_timer.stop();
                m_title = dialog->windowTitle();
                if constexpr (std::is_same_v<T, QMessageBox>)
                    m_text = dialog->text();
                m_answer(dialog);
            }
        });
        m_timer.start();
    }

    QString title() const { return m_title; }
    QString text() const { return m_text; }

private:
    std::function<void(T*)> m_answer;
    QTimer m_timer;
    QString m_title;
    QString m_text;
};

} // namespace

class TestOptionsDialog : public QObject
{
    Q_OBJECT

    struct Form
    {
        explicit Form(OptionsDialog* dialog)
            : list(dialog->findChild<QListWidget*>(QStringLiteral("optionsView")))
            , stack(dialog->findChild<QStackedWidget*>(QStringLiteral("optionsStack")))
            , buttons(dialog->findChild<QDialogButtonBox*>(QStringLiteral("buttonBox")))
            , title(dialog->findChild<QLabel*>(QStringLiteral("labelTitle")))
            , description(dialog->findChild<QLabel*>(QStringLiteral("labelDescription")))
            , logo(dialog->findChild<QLabel*>(QStringLiteral("labelLogo")))
            , echo(dialog->findChild<QCheckBox*>(QStringLiteral("checkEchoCanceling")))
            , level(dialog->findChild<QSlider*>(QStringLiteral("sliderVadLevel")))
        {
        }
        QPushButton* button(QDialogButtonBox::StandardButton which) const
        {
            return buttons->button(which);
        }

        QListWidget* list;
        QStackedWidget* stack;
        QDialogButtonBox* buttons;
        QLabel* title;
        QLabel* description;
        QLabel* logo;
        QCheckBox* echo;
        QSlider* level;
    };

private slots:
    void initTestCase()
    {
        QSettings::setDefaultFormat(QSettings::IniFormat);
        QCoreApplication::setOrganizationName(QStringLiteral("RYL System 7"));
        QCoreApplication::setApplicationName(QStringLiteral("Meeting"));
        QVERIFY(TsSDKClient::instance()->sdk()->handlerId() != 0);
    }

    void init()
    {
        QSettings().clear();
        const uint64 handler = TsSDKClient::instance()->sdk()->handlerId();
        ts3client_setPreProcessorConfigValue(handler, "vad", "true");
        ts3client_setPreProcessorConfigValue(handler, "voiceactivation_level", "-20");
        ts3client_setPreProcessorConfigValue(handler, "echo_canceling", "false");
    }

    void headerAndApplyFollowTheCurrentPage()
    {
        OptionsDialog dialog;
        Form form(&dialog);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QCOMPARE(form.list->count(), 2);
        QCOMPARE(form.list->item(0)->text(), QStringLiteral("Capture"));
        QCOMPARE(form.list->item(1)->text(), QStringLiteral("Playback"));
        QCOMPARE(form.list->currentRow(), 0);
        QCOMPARE(form.stack->currentIndex(), 0);
        QCOMPARE(form.title->text(), QStringLiteral("Title"));
        QCOMPARE(form.description->text(), QStringLiteral("Description"));
        QCOMPARE(form.logo->text(), QStringLiteral("logo"));

        QPushButton* apply = form.button(QDialogButtonBox::Apply);
        QTRY_VERIFY(!apply->isEnabled());
        form.level->setValue(-10);
        QTRY_VERIFY(apply->isEnabled());
        apply->click();
        QCOMPARE(preProcessor("voiceactivation_level"), QByteArray("-10"));
        QCOMPARE(QSettings().value(QStringLiteral("capture/vadLevel")).toInt(), -10);
        QVERIFY(dialog.isVisible());
        QTRY_VERIFY(!apply->isEnabled());

        form.list->setCurrentRow(1);
        QCOMPARE(form.stack->currentIndex(), 1);
        QCOMPARE(form.title->text(), QStringLiteral("Playback"));
        QCOMPARE(form.description->text(), QStringLiteral("Configure the Playback Sound System"));
        QVERIFY(!form.logo->pixmap(Qt::ReturnByValue).isNull());
    }

    void leavingAModifiedPage_data()
    {
        QTest::addColumn<int>("answer");
        QTest::addColumn<int>("shownRow");
        QTest::addColumn<QByteArray>("sdkEcho");
        QTest::addColumn<bool>("echoChecked");
        QTest::newRow("save") << int(QMessageBox::Save) << 1 << QByteArray("true") << true;
        QTest::newRow("discard") << int(QMessageBox::Discard) << 1 << QByteArray("false") << false;
        QTest::newRow("abort") << int(QMessageBox::Abort) << 0 << QByteArray("false") << true;
    }

    void leavingAModifiedPage()
    {
        QFETCH(int, answer);
        QFETCH(int, shownRow);
        QFETCH(QByteArray, sdkEcho);
        QFETCH(bool, echoChecked);
        OptionsDialog dialog;
        Form form(&dialog);
        dialog.show();
        form.echo->setChecked(true);

        ModalAnswerer<QMessageBox> answerer([answer](QMessageBox* box) {
            box->button(QMessageBox::StandardButton(answer))->click();
        });
        form.list->setCurrentRow(1);
        QCOMPARE(answerer.title(), QStringLiteral("Unsaved Changes"));
        QCOMPARE(answerer.text(),
                 QStringLiteral("The \"Capture\" settings have been modified.\n\nDo you want to "
                                "Save, Discard your changes or Abort closing this window?"));
        QCOMPARE(form.stack->currentIndex(), shownRow);
        // What is selected is what is shown.
        QTRY_COMPARE(form.list->currentRow(), shownRow);
        QCOMPARE(form.list->selectedItems(), QList<QListWidgetItem*>{form.list->item(shownRow)});
        QCOMPARE(preProcessor("echo_canceling"), sdkEcho);
        QCOMPARE(form.echo->isChecked(), echoChecked);
    }

    void okSavesAndCancelDrops()
    {
        OptionsDialog dialog;
        Form form(&dialog);
        dialog.show();
        form.echo->setChecked(true);
        form.button(QDialogButtonBox::Ok)->click();
        QVERIFY(!dialog.isVisible());
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(preProcessor("echo_canceling"), QByteArray("true"));
        QCOMPARE(QSettings().value(QStringLiteral("capture/echoCanceling")).toBool(), true);

        dialog.show();
        form.echo->setChecked(false);
        form.button(QDialogButtonBox::Cancel)->click();
        QVERIFY(!dialog.isVisible());
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QVERIFY(form.echo->isChecked());
        QCOMPARE(preProcessor("echo_canceling"), QByteArray("true"));
    }

    void settingsButtonOpensTheDialog()
    {
        MainWindow window;
        window.show();
        auto* dialog = window.findChild<OptionsDialog*>();
        QVERIFY(dialog);
        QVERIFY(!dialog->isVisible());
        window.findChild<QToolButton*>(QStringLiteral("toolButtonSetting"))->click();
        QVERIFY(dialog->isVisible());
        Form form(dialog);
        QCOMPARE(form.list->count(), 3);
        QCOMPARE(form.list->item(2)->text(), QStringLiteral("About"));
        QVERIFY(qobject_cast<AboutOption*>(form.stack->widget(2)));
    }

    void aboutCancelsOnlyARunningUpdater_data()
    {
        QTest::addColumn<bool>("reject");
        QTest::newRow("check cancelled") << true;
        QTest::newRow("check accepted") << false;
    }

    void aboutCancelsOnlyARunningUpdater()
    {
        QFETCH(bool, reject);
        // A product of our own, so no other updater on this machine shares the key.
        const QString product =
            QStringLiteral("Meeting") + QUuid::createUuid().toString(QUuid::Id128).left(12);
        QCoreApplication::setApplicationName(product);
        auto restoreName = qScopeGuard(
            [] { QCoreApplication::setApplicationName(QStringLiteral("Meeting")); });

        AboutOption page;
        QCOMPARE(page.title(), QStringLiteral("About"));
        QCOMPARE(page.description(), QStringLiteral("About ") + product);
        QCOMPARE(page.findChild<QLabel*>(QStringLiteral("label"))->text(),
                 product + QLatin1Char(' ') +
                     RylSystem::RylCoreApplication::instance()->buildNumber());
        QVERIFY(!page.isModified());

        // A feed that never answers keeps the updater checking until it is cancelled.
        QTcpServer silentFeed;
        QVERIFY(silentFeed.listen(QHostAddress::LocalHost));
        QProcess updater;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("RYL_UPDATE_FEED"),
                   QStringLiteral("http://127.0.0.1:%1/feed.json").arg(silentFeed.serverPort()));
        updater.setProcessEnvironment(env);
        updater.start(qEnvironmentVariable("MEETING_BIN_DIR") + QStringLiteral("/RylUpdater"),
                      {QStringLiteral("/x/Meeting"), product, QStringLiteral("10"),
                       QStringLiteral("1"), QStringLiteral("checkupdates"),
                       QStringLiteral("en_US")});
        QVERIFY(updater.waitForStarted(5000));
        auto stopUpdater = qScopeGuard([&updater] {
            updater.kill();
            updater.waitForFinished(5000);
        });
        RylSystem::SingleApplication probe(QStringLiteral("RYL Auto Updater") + product, false);
        QTRY_VERIFY_WITH_TIMEOUT(probe.isRunning(), 5000);

        ModalAnswerer<RylSystem::CheckUpdateDlg> answerer([reject](RylSystem::CheckUpdateDlg* d) {
            if (reject)
                d->reject();
            else
                d->accept();
        });
        page.findChild<QPushButton*>(QStringLiteral("pushButtonChekUpdate"))->click();
        QCOMPARE(answerer.title(), QStringLiteral("Check for Updates"));
        if (reject) {
            QVERIFY(updater.waitForFinished(5000));
            QVERIFY(updater.readAllStandardOutput().contains("cancelled"));
        } else {
            QVERIFY(!updater.waitForFinished(1000));
        }
    }
};

int main(int argc, char** argv)
{
    RylSystem::RylCoreApplication app(argc, argv);
    TestOptionsDialog test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_optionsdialog.moc"
