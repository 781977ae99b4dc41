// SPDX-License-Identifier: MIT
#pragma once

#include <QComboBox>
#include <QCoreApplication>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QSlider>
#include <QSpacerItem>
#include <QVBoxLayout>
#include <QWidget>

namespace MeetingSupport {
namespace Ui {

// The playback page: sound system and device, and the two volumes in tenths of a decibel.
class PlaybackOption
{
public:
    QVBoxLayout* verticalLayout;
    QFormLayout* formLayout;
    QLabel* label;
    QComboBox* comboBoxMode;
    QLabel* label_2;
    QComboBox* comboBoxDevice;
    QLabel* label_3;
    QHBoxLayout* horizontalLayout;
    QSlider* sliderVolumeModifier;
    QLabel* labelVolumeModifier;
    QLabel* label_5;
    QHBoxLayout* horizontalLayout_2;
    QSlider* sliderVolumeFactorWave;
    QLabel* labelVolumeFactorWave;
    QSpacerItem* verticalSpacer;

    void setupUi(QWidget* widget)
    {
        if (widget->objectName().isEmpty())
            widget->setObjectName(QStringLiteral("PlaybackOption"));
        widget->resize(389, 168);
        widget->setWindowIcon(QIcon(QStringLiteral(":/qml/images/playback.png")));

        verticalLayout = new QVBoxLayout(widget);
        verticalLayout->setObjectName(QStringLiteral("verticalLayout"));

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
        verticalLayout->addLayout(formLayout);

        label_3 = new QLabel(widget);
        label_3->setObjectName(QStringLiteral("label_3"));
        verticalLayout->addWidget(label_3);

        horizontalLayout = new QHBoxLayout();
        horizontalLayout->setObjectName(QStringLiteral("horizontalLayout"));
        sliderVolumeModifier = volumeSlider(widget, QStringLiteral("sliderVolumeModifier"), 200);
        horizontalLayout->addWidget(sliderVolumeModifier);
        labelVolumeModifier = new QLabel(widget);
        labelVolumeModifier->setObjectName(QStringLiteral("labelVolumeModifier"));
        horizontalLayout->addWidget(labelVolumeModifier);
        verticalLayout->addLayout(horizontalLayout);

        label_5 = new QLabel(widget);
        label_5->setObjectName(QStringLiteral("label_5"));
        verticalLayout->addWidget(label_5);

        horizontalLayout_2 = new QHBoxLayout();
        horizontalLayout_2->setObjectName(QStringLiteral("horizontalLayout_2"));
        sliderVolumeFactorWave = volumeSlider(widget, QStringLiteral("sliderVolumeFactorWave"), 0);
        horizontalLayout_2->addWidget(sliderVolumeFactorWave);
        labelVolumeFactorWave = new QLabel(widget);
        labelVolumeFactorWave->setObjectName(QStringLiteral("labelVolumeFactorWave"));
        horizontalLayout_2->addWidget(labelVolumeFactorWave);
        verticalLayout->addLayout(horizontalLayout_2);

        verticalSpacer = new QSpacerItem(20, 36, QSizePolicy::Minimum, QSizePolicy::Expanding);
        verticalLayout->addItem(verticalSpacer);

        retranslateUi(widget);
    }

    void retranslateUi(QWidget* widget)
    {
        const char* context = "MeetingSupport::PlaybackOption";
        widget->setWindowTitle(QCoreApplication::translate(context, "Playback"));
        label->setText(QCoreApplication::translate(context, "Playback Mode:"));
        label_2->setText(QCoreApplication::translate(context, "Playback Device:"));
        label_3->setText(QCoreApplication::translate(context, "Voice Volume Adjustment"));
        labelVolumeModifier->setText(QStringLiteral("TextLabel"));
        label_5->setText(QCoreApplication::translate(context, "Sound Pack Volume"));
        labelVolumeFactorWave->setText(QStringLiteral("TextLabel"));
    }

private:
    // From -40 dB up to maximum tenths of a decibel, in steps of 1 dB and pages of 10 dB.
    static QSlider* volumeSlider(QWidget* parent, const QString& name, int maximum)
    {
        auto* slider = new QSlider(parent);
        slider->setObjectName(name);
        slider->setOrientation(Qt::Horizontal);
        slider->setRange(-400, maximum);
        slider->setSingleStep(10);
        slider->setPageStep(100);
        return slider;
    }
};

} // namespace Ui
} // namespace MeetingSupport
