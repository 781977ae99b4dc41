// SPDX-License-Identifier: MIT
#pragma once

#include <QCoreApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QStackedWidget>
#include <QVBoxLayout>
#include <QWidget>

namespace MeetingSupport {
namespace Ui {

// The settings window: the page list on the left, the header and the chosen page on the right,
// OK / Cancel / Apply below.
class OptionsDialog
{
public:
    QVBoxLayout* verticalLayout;
    QHBoxLayout* horizontalLayout;
    QListWidget* optionsView;
    QVBoxLayout* verticalLayout_2;
    QWidget* titleWidget;
    QHBoxLayout* horizontalLayout_2;
    QVBoxLayout* verticalLayout_3;
    QLabel* labelTitle;
    QLabel* labelDescription;
    QLabel* labelLogo;
    QStackedWidget* optionsStack;
    QDialogButtonBox* buttonBox;

    void setupUi(QDialog* dialog)
    {
        if (dialog->objectName().isEmpty())
            dialog->setObjectName(QStringLiteral("OptionsDialog"));
        dialog->resize(667, 416);

        verticalLayout = new QVBoxLayout(dialog);
        verticalLayout->setObjectName(QStringLiteral("verticalLayout"));
        horizontalLayout = new QHBoxLayout();
        horizontalLayout->setObjectName(QStringLiteral("horizontalLayout"));

        optionsView = new QListWidget(dialog);
        optionsView->setObjectName(QStringLiteral("optionsView"));
        optionsView->setUniformItemSizes(true);
        optionsView->setIconSize(QSize(32, 32));
        optionsView->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
        optionsView->setFixedWidth(150);
        horizontalLayout->addWidget(optionsView);

        verticalLayout_2 = new QVBoxLayout();
        verticalLayout_2->setObjectName(QStringLiteral("verticalLayout_2"));
        titleWidget = new QWidget(dialog);
        titleWidget->setObjectName(QStringLiteral("titleWidget"));
        horizontalLayout_2 = new QHBoxLayout(titleWidget);
        horizontalLayout_2->setObjectName(QStringLiteral("horizontalLayout_2"));
        verticalLayout_3 = new QVBoxLayout();
        verticalLayout_3->setObjectName(QStringLiteral("verticalLayout_3"));
        labelTitle = new QLabel(titleWidget);
        labelTitle->setObjectName(QStringLiteral("labelTitle"));
        verticalLayout_3->addWidget(labelTitle);
        labelDescription = new QLabel(titleWidget);
        labelDescription->setObjectName(QStringLiteral("labelDescription"));
        verticalLayout_3->addWidget(labelDescription);
        horizontalLayout_2->addLayout(verticalLayout_3);
        labelLogo = new QLabel(titleWidget);
        labelLogo->setObjectName(QStringLiteral("labelLogo"));
        labelLogo->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
        horizontalLayout_2->addWidget(labelLogo);
        verticalLayout_2->addWidget(titleWidget);

        optionsStack = new QStackedWidget(dialog);
        optionsStack->setObjectName(QStringLiteral("optionsStack"));
        verticalLayout_2->addWidget(optionsStack);
        horizontalLayout->addLayout(verticalLayout_2);
        verticalLayout->addLayout(horizontalLayout);

        buttonBox = new QDialogButtonBox(dialog);
        buttonBox->setObjectName(QStringLiteral("buttonBox"));
        buttonBox->setOrientation(Qt::Horizontal);
        buttonBox->setStandardButtons(QDialogButtonBox::Ok | QDialogButtonBox::Cancel |
                                      QDialogButtonBox::Apply);
        verticalLayout->addWidget(buttonBox);

        retranslateUi(dialog);
        QObject::connect(buttonBox, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
        QObject::connect(buttonBox, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    }

    void retranslateUi(QDialog* dialog)
    {
        const char* context = "MeetingSupport::OptionsDialog";
        dialog->setWindowTitle(QCoreApplication::translate(context, "Options"));
        labelTitle->setText(QCoreApplication::translate(context, "Title"));
        labelDescription->setText(QCoreApplication::translate(context, "Description"));
        labelLogo->setText(QCoreApplication::translate(context, "logo"));
    }
};

} // namespace Ui
} // namespace MeetingSupport
