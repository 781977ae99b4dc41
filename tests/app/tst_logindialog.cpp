// SPDX-License-Identifier: MIT
#include "logindialog.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolTip>
#include <QVBoxLayout>
#include <QtTest>

using MeetingSupport::LoginDialog;

class TestLoginDialog : public QObject
{
    Q_OBJECT

    QTemporaryDir m_settingsDir;

    static QString storedName()
    {
        return QSettings().value(QStringLiteral("login/username")).toString();
    }
    static bool nameStored() { return QSettings().contains(QStringLiteral("login/username")); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_settingsDir.isValid());
        QSettings::setDefaultFormat(QSettings::IniFormat);
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_settingsDir.path());
        QCoreApplication::setOrganizationName(QStringLiteral("RYL System 7"));
        QCoreApplication::setApplicationName(QStringLiteral("Meeting"));
    }

    void init() { QSettings().clear(); }

    // What a user or a caller finding widgets by name would notice broken.
    void namesTextsAndIcon()
    {
        LoginDialog dialog;
        QCOMPARE(dialog.objectName(), QStringLiteral("LoginDialog"));
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Login"));
        QVERIFY(!dialog.windowIcon().isNull());
        QCOMPARE(dialog.findChild<QLabel*>(QStringLiteral("label"))->text(),
                 QStringLiteral("RYL Meeting"));
        auto* edit = dialog.findChild<QLineEdit*>(QStringLiteral("lineEditUsername"));
        QVERIFY(edit);
        QCOMPARE(edit->placeholderText(), QStringLiteral("Username"));
        QVERIFY(edit->text().isEmpty());
        // The dialog opens ready for the name to be typed.
        QCOMPARE(dialog.focusWidget(), edit);
        QCOMPARE(dialog.findChild<QPushButton*>(QStringLiteral("pushButtonLogin"))->text(),
                 QStringLiteral("Login"));
    }

    void emptyNameIsRefusedAndNothingStored()
    {
        LoginDialog dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QSignalSpy accepted(&dialog, &QDialog::accepted);
        dialog.findChild<QPushButton*>(QStringLiteral("pushButtonLogin"))->click();
        QCOMPARE(accepted.count(), 0);
        QVERIFY(dialog.isVisible());
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QTRY_VERIFY(QToolTip::isVisible());
        QCOMPARE(QToolTip::text(), QStringLiteral("Please Input Username"));
        QVERIFY(!nameStored());
        QToolTip::hideText();
    }

    void blanksAreAcceptedAndStoredUnchanged()
    {
        LoginDialog dialog;
        auto* edit = dialog.findChild<QLineEdit*>(QStringLiteral("lineEditUsername"));
        edit->setText(QStringLiteral("   "));
        dialog.findChild<QPushButton*>(QStringLiteral("pushButtonLogin"))->click();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(dialog.userName(), QStringLiteral("   "));
        QCOMPARE(storedName(), QStringLiteral("   "));
    }

    void savedNamePrefillsAndEnterLogsIn()
    {
        QSettings().setValue(QStringLiteral("login/username"), QStringLiteral("Ada Lovelace"));
        LoginDialog dialog;
        auto* edit = dialog.findChild<QLineEdit*>(QStringLiteral("lineEditUsername"));
        QCOMPARE(edit->text(), QStringLiteral("Ada Lovelace"));

        QTimer::singleShot(0, edit, [edit] {
            edit->setFocus();
            QTest::keyClick(edit, Qt::Key_Return);
        });
        QCOMPARE(dialog.exec(), int(QDialog::Accepted));
        QCOMPARE(dialog.userName(), QStringLiteral("Ada Lovelace"));
    }

    void rejectedDialogStoresNothing()
    {
        LoginDialog dialog;
        auto* edit = dialog.findChild<QLineEdit*>(QStringLiteral("lineEditUsername"));
        QTimer::singleShot(0, &dialog, [&] {
            edit->setText(QStringLiteral("typed but cancelled"));
            QTest::keyClick(&dialog, Qt::Key_Escape);
        });
        QCOMPARE(dialog.exec(), int(QDialog::Rejected));
        QVERIFY(!nameStored());
    }

    void nameIsRememberedForTheNextStart()
    {
        {
            LoginDialog first;
            first.findChild<QLineEdit*>(QStringLiteral("lineEditUsername"))
                ->setText(QStringLiteral("grace"));
            first.accept();
        }
        LoginDialog second;
        QCOMPARE(second.findChild<QLineEdit*>(QStringLiteral("lineEditUsername"))->text(),
                 QStringLiteral("grace"));
    }
};

QTEST_MAIN(TestLoginDialog)
#include "tst_logindialog.moc"
