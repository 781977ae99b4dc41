// SPDX-License-Identifier: MIT
#pragma once

#include <QCoreApplication>
#include <QDialog>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpacerItem>
#include <QVBoxLayout>

namespace MeetingSupport {
namespace Ui {

// The login form, laid out as the designer form describes it.
class LoginDialog
{
public:
    QGridLayout* gridLayout;
    QLabel* label;
    QSpacerItem* horizontalSpacer;
    QVBoxLayout* verticalLayout;
    QLineEdit* lineEditUsername;
    QPushButton* pushButtonLogin;
    QSpacerItem* horizontalSpacer_2;

    void setupUi(QDialog* dialog)
    {
        if (dialog->objectName().isEmpty())
            dialog->setObjectName(QStringLiteral("LoginDialog"));
        dialog->resize(430, 320);
        dialog->setMinimumSize(QSize(430, 320));
        dialog->setMaximumSize(QSize(430, QWIDGETSIZE_MAX));
        dialog->setWindowIcon(QIcon(QStringLiteral(":/images/meeting.ico")));

        gridLayout = new QGridLayout(dialog);
        gridLayout->setObjectName(QStringLiteral("gridLayout"));
        gridLayout->setContentsMargins(0, 0, 0, 0);
        gridLayout->setHorizontalSpacing(0);
        gridLayout->setVerticalSpacing(6);

        label = new QLabel(dialog);
        label->setObjectName(QStringLiteral("label"));
        label->setAlignment(Qt::AlignCenter);
        gridLayout->addWidget(label, 0, 0, 1, 3);

        horizontalSpacer = new QSpacerItem(140, 20, QSizePolicy::Expanding, QSizePolicy::Minimum);
        gridLayout->addItem(horizontalSpacer, 1, 0, 1, 1);

        verticalLayout = new QVBoxLayout();
        verticalLayout->setSpacing(6);
        verticalLayout->setObjectName(QStringLiteral("verticalLayout"));
        lineEditUsername = new QLineEdit(dialog);
        lineEditUsername->setObjectName(QStringLiteral("lineEditUsername"));
        verticalLayout->addWidget(lineEditUsername);
        pushButtonLogin = new QPushButton(dialog);
        pushButtonLogin->setObjectName(QStringLiteral("pushButtonLogin"));
        verticalLayout->addWidget(pushButtonLogin);
        gridLayout->addLayout(verticalLayout, 1, 1, 1, 1);

        horizontalSpacer_2 = new QSpacerItem(140, 20, QSizePolicy::Expanding, QSizePolicy::Minimum);
        gridLayout->addItem(horizontalSpacer_2, 1, 2, 1, 1);

        retranslateUi(dialog);
        QObject::connect(pushButtonLogin, &QPushButton::clicked, dialog, &QDialog::accept);
    }

    void retranslateUi(QDialog* dialog)
    {
        dialog->setWindowTitle(QCoreApplication::translate("MeetingSupport::LoginDialog", "Login"));
        label->setText(QCoreApplication::translate("MeetingSupport::LoginDialog", "RYL Meeting"));
        lineEditUsername->setPlaceholderText(
            QCoreApplication::translate("MeetingSupport::LoginDialog", "Username"));
        pushButtonLogin->setText(
            QCoreApplication::translate("MeetingSupport::LoginDialog", "Login"));
    }
};

} // namespace Ui
} // namespace MeetingSupport
