// SPDX-License-Identifier: MIT
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QProgressBar>
#include <QRadioButton>
#include <QSlider>
#include <QSpacerItem>
#include <QVBoxLayout>
#include <QWidget>

namespace MeetingSupport {
namespace Ui {

// The capture page: how to send, the voice activation threshold, sound system and device, and
// echo cancellation.
class CaptureOption
{
public:
    QGridLayout* gridLayout;
    QRadioButton* radioContinuousTransmission;
    QRadioButton* radioVad;
    QHBoxLayout* horizontalLayout;
    QLabel* label_3;
    QVBoxLayout* levelLayout;
    QSlider* sliderVadLevel;
    QProgressBar* progressBarInputLevel;
    QLabel* label_4;
    QFormLayout* formLayout;
    QLabel* label;
    QComboBox* comboBoxMode;
    QLabel* label_2;
    QComboBox* comboBoxDevice;
    QCheckBox* checkEchoCanceling;
    QSpacerItem* verticalSpacer;

    void setupUi(QWidget* widget)
    {
        if (widget->objectName().isEmpty())
            widget->setObjectName(QStringLiteral("CaptureOption"));
        widget->resize(386, 160);
        widget->setWindowIcon(QIcon(QStringLiteral(":/qml/images/capture.png")));

        gridLayout = new QGridLayout(widget);
        gridLayout->setObjectName(QStringLiteral("gridLayout"));

        radioContinuousTransmission = new QRadioButton(widget);
        radioContinuousTransmission->setObjectName(QStringLiteral("radioContinuousTransmission"));
        gridLayout->addWidget(radioContinuousTransmission, 0, 0);

        radioVad = new QRadioButton(widget);
        radioVad->setObjectName(QStringLiteral("radioVad"));
        radioVad->setChecked(true);
        gridLayout->addWidget(radioVad, 0, 1);

        horizontalLayout = new QHBoxLayout();
        horizontalLayout->setObjectName(QStringLiteral("horizontalLayout"));
        label_3 = new QLabel(widget);
        label_3->setObjectName(QStringLiteral("label_3"));
        horizontalLayout->addWidget(label_3);
        // The threshold with the microphone's level under it, on the same scale.
        levelLayout = new QVBoxLayout();
        levelLayout->setObjectName(QStringLiteral("levelLayout"));
        levelLayout->setSpacing(2);
        sliderVadLevel = new QSlider(widget);
        sliderVadLevel->setObjectName(QStringLiteral("sliderVadLevel"));
        sliderVadLevel->setOrientation(Qt::Horizontal);
        sliderVadLevel->setRange(-50, 50);
        sliderVadLevel->setTickPosition(QSlider::TicksBothSides);
        sliderVadLevel->setTickInterval(2);
        levelLayout->addWidget(sliderVadLevel);
        progressBarInputLevel = new QProgressBar(widget);
        progressBarInputLevel->setObjectName(QStringLiteral("progressBarInputLevel"));
        progressBarInputLevel->setRange(-50, 50);
        progressBarInputLevel->setValue(-50);
        progressBarInputLevel->setTextVisible(false);
        progressBarInputLevel->setMaximumHeight(8);
        levelLayout->addWidget(progressBarInputLevel);
        horizontalLayout->addLayout(levelLayout);
        label_4 = new QLabel(widget);
        label_4->setObjectName(QStringLiteral("label_4"));
        horizontalLayout->addWidget(label_4);
        gridLayout->addLayout(horizontalLayout, 1, 0, 1, 2);

        formLayout = new QFormLayout();
        formLayout->setObjectName(QStringLiteral("formLayout"));
        label = new QLabel(widget);
        label->setObjectName(QStringLiteral("label"));
        formLayout->setWidget(0, QFormLayout::LabelRole, label);
        comboBoxMode = new QComboBox(widget);
        comboBoxMode->setObjectName(QStringLiteral("comboBoxMode"));
        formLayout->setWidget(0, QFormLayout::FieldRole, comboBoxMode);
        label_2 = new QLabel(widget);
        label_2->setObjectName(QStringLiteral("label_2"));
        formLayout->setWidget(1, QFormLayout::LabelRole, label_2);
        comboBoxDevice = new QComboBox(widget);
        comboBoxDevice->setObjectName(QStringLiteral("comboBoxDevice"));
        formLayout->setWidget(1, QFormLayout::FieldRole, comboBoxDevice);
        gridLayout->addLayout(formLayout, 2, 0, 1, 2);

        checkEchoCanceling = new QCheckBox(widget);
        checkEchoCanceling->setObjectName(QStringLiteral("checkEchoCanceling"));
        gridLayout->addWidget(checkEchoCanceling, 3, 0, 1, 2);

        verticalSpacer = new QSpacerItem(368, 36, QSizePolicy::Minimum, QSizePolicy::Expanding);
        gridLayout->addItem(verticalSpacer, 4, 0, 1, 2);

        retranslateUi(widget);
    }

    void retranslateUi(QWidget* widget)
    {
        const char* context = "MeetingSupport::CaptureOption";
        widget->setWindowTitle(QCoreApplication::translate(context, "Capture"));
        radioContinuousTransmission->setText(
            QCoreApplication::translate(context, "Continuous Transmission"));
        radioVad->setText(QCoreApplication::translate(context, "Voice Activation Detection"));
        label_3->setText(QStringLiteral("-50"));
        label_4->setText(QStringLiteral("50"));
        label->setText(QCoreApplication::translate(context, "Capture Mode:"));
        label_2->setText(QCoreApplication::translate(context, "Capture Device:"));
        checkEchoCanceling->setText(QCoreApplication::translate(context, "Echo cancellation"));
        progressBarInputLevel->setToolTip(QCoreApplication::translate(
            context, "Input level: with voice activation, what reaches the slider's position is "
                     "sent"));
    }
};

} // namespace Ui
} // namespace MeetingSupport
