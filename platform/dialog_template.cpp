#include "platform/dialog_template.h"

#include <QCheckBox>
#include <QFont>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QWidget>

namespace kestrun {

QFont templateFont(QFont font) {
    font.setPointSize(8);
    return font;
}

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
    case ControlKind::CheckBox:
        return new QCheckBox(text, &parent);
    case ControlKind::StaticMultiLine: {
        auto* label = new QLabel(text, &parent);
        label->setWordWrap(true);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        return label;
    }
    case ControlKind::Picture: {
        auto* picture = new QLabel(&parent);
        picture->setAlignment(Qt::AlignCenter);
        return picture;
    }
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
        control->setGeometry(dialogUnitsToPixelsX(item.x), dialogUnitsToPixelsY(item.y),
                             dialogUnitsToPixelsX(item.w), dialogUnitsToPixelsY(item.h));
    }
}

} // namespace kestrun
