// SPDX-License-Identifier: MIT
#pragma once

#include <QCoreApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QVBoxLayout>

namespace MeetingSupport {
namespace Ui {

// The selection form: a label, a list of tick boxes and Ok / Cancel.
class GetSelectDialog
{
public:
    QVBoxLayout* verticalLayout;
    QLabel* label;
    QListWidget* listWidget;
    QDialogButtonBox* buttonBox;

    void setupUi(QDialog* dialog)
    {
        if (dialog->objectName().isEmpty())
            dialog->setObjectName(QStringLiteral("GetSelectDilaog"));
        dialog->resize(241, 401);

        verticalLayout = new QVBoxLayout(dialog);
        verticalLayout->setObjectName(QStringLiteral("verticalLayout"));

        label = new QLabel(dialog);
        label->setObjectName(QStringLiteral("label"));
        label->setAlignment(Qt::AlignLeading | Qt::AlignLeft | Qt::AlignVCenter);
        // A long label wraps instead of widening the dialog past its design width.
        label->setWordWrap(true);
        verticalLayout->addWidget(label);

        listWidget = new QListWidget(dialog);
        listWidget->setObjectName(QStringLiteral("listWidget"));
        verticalLayout->addWidget(listWidget);

        buttonBox = new QDialogButtonBox(dialog);
        buttonBox->setObjectName(QStringLiteral("buttonBox"));
        buttonBox->setOrientation(Qt::Horizontal);
        buttonBox->setStandardButtons(QDialogButtonBox::Cancel | QDialogButtonBox::Ok);
        verticalLayout->addWidget(buttonBox);

        retranslateUi(dialog);
        QObject::connect(buttonBox, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
        QObject::connect(buttonBox, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    }

    void retranslateUi(QDialog* dialog)
    {
        dialog->setWindowTitle(
            QCoreApplication::translate("MeetingSupport::GetSelectDialog", "Select Items"));
    }
};

} // namespace Ui
} // namespace MeetingSupport
