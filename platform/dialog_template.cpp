#include "platform/dialog_template.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QWidget>

namespace kestrun {

int dialogUnitsToPixelsX(int units) {
    return units * 3 / 2;
}
int dialogUnitsToPixelsY(int units) {
    return units * 13 / 8;
}

namespace {

QWidget* makeControl(QWidget& parent, const ControlSpec& item) {
    const QString text = QString::fromStdString(item.text);
    switch (item.kind) {
    case ControlKind::GroupBox:
        return new QGroupBox(text, &parent);
    case ControlKind::ReadOnlyEdit: {
        auto* edit = new QLineEdit(text, &parent);
        edit->setReadOnly(true);
        edit->setAlignment(Qt::AlignCenter);
        edit->setFocusPolicy(Qt::NoFocus);
        return edit;
    }
    case ControlKind::StaticCentered: {
        auto* label = new QLabel(text, &parent);
        label->setAlignment(Qt::AlignCenter);
        return label;
    }
    case ControlKind::StaticLeft:
        return new QLabel(text, &parent);
    case ControlKind::ProgressBar: {
        auto* bar = new QProgressBar(&parent);
        bar->setRange(0, 100);
        bar->setValue(0);
        return bar;
    }
    case ControlKind::PushButton:
    case ControlKind::DefaultPushButton: {
        auto* button = new QPushButton(text, &parent);
        button->setAutoDefault(false);
        button->setDefault(item.kind == ControlKind::DefaultPushButton);
        return button;
    }
    case ControlKind::Edit:
        return new QLineEdit(text, &parent);
    case ControlKind::ReadOnlyLeftEdit: {
        auto* edit = new QLineEdit(text, &parent);
        edit->setReadOnly(true);
        return edit;
    }
    case ControlKind::CheckBox:
        return new QCheckBox(text, &parent);
    case ControlKind::RadioButton:
        return new QRadioButton(text, &parent);
    case ControlKind::DropDownList:
        return new QComboBox(&parent);
    }
    return nullptr;
}

} // namespace

void buildFromTemplate(QWidget& window, const DialogTemplate& tmpl) {
    window.setWindowTitle(QString::fromStdString(tmpl.title));
    window.setFixedSize(dialogUnitsToPixelsX(tmpl.width), dialogUnitsToPixelsY(tmpl.height));
    for (const ControlSpec& item : tmpl.controls) {
        QWidget* control = makeControl(window, item);
        if (!control)
            continue;
        if (item.id != 0)
            control->setObjectName(QString::number(item.id));
        // The closed drop-down list is as high as the platform draws it.
        const int height = item.kind == ControlKind::DropDownList ? control->sizeHint().height()
                                                                  : dialogUnitsToPixelsY(item.h);
        control->setGeometry(dialogUnitsToPixelsX(item.x), dialogUnitsToPixelsY(item.y),
                             dialogUnitsToPixelsX(item.w), height);
    }
}

} // namespace kestrun
