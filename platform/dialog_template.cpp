#include "platform/dialog_template.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFont>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPalette>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTimeEdit>
#include <QTreeWidget>
#include <QWidget>

#include <algorithm>

namespace kestrun {

int dialogUnitsToPixelsX(int units) {
    return units * 3 / 2;
}
int dialogUnitsToPixelsY(int units) {
    return units * 13 / 8;
}

namespace {

// A field the user can not edit shows it: the window's own background, not an edit's white.
void lookReadOnly(QLineEdit& edit) {
    edit.setReadOnly(true);
    QPalette palette = edit.palette();
    palette.setColor(QPalette::Base, palette.color(QPalette::Window));
    edit.setPalette(palette);
}

QWidget* makeControl(QWidget& parent, const ControlSpec& item) {
    const QString text = QString::fromStdString(item.text);
    switch (item.kind) {
    case ControlKind::GroupBox: {
        // The frame line runs through the middle of the title at the box's top, as the
        // templates place their controls a few units below a group's top edge.
        auto* box = new QGroupBox(text, &parent);
        box->setStyleSheet(
            QStringLiteral("QGroupBox{border:1px solid palette(mid);margin-top:0.5em;padding:0;}"
                           "QGroupBox::title{subcontrol-origin:margin;subcontrol-position:top left;"
                           "top:0;left:7px;padding:0 2px;background-color:palette(window);}"));
        return box;
    }
    case ControlKind::ReadOnlyEdit: {
        auto* edit = new QLineEdit(text, &parent);
        lookReadOnly(*edit);
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
    case ControlKind::ReadOnlyEditLeft: {
        auto* edit = new QLineEdit(text, &parent);
        lookReadOnly(*edit);
        return edit;
    }
    case ControlKind::CheckBox:
        return new QCheckBox(text, &parent);
    case ControlKind::RadioButton:
        return new QRadioButton(text, &parent);
    case ControlKind::TimeEdit: {
        auto* edit = new QTimeEdit(&parent);
        edit->setDisplayFormat(text);
        return edit;
    }
    case ControlKind::ListView: {
        auto* view = new QTreeWidget(&parent);
        view->setColumnCount(1);
        view->setHeaderHidden(true);
        view->setRootIsDecorated(false);
        view->setSelectionMode(QAbstractItemView::SingleSelection);
        view->setUniformRowHeights(true);
        return view;
    }
    case ControlKind::SortedListBox: {
        auto* list = new QListWidget(&parent);
        list->setSortingEnabled(true);
        list->setSelectionMode(QAbstractItemView::SingleSelection);
        list->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        return list;
    }
    case ControlKind::DropDownList:
        return new QComboBox(&parent);
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

// A check box or radio button is never narrower than its box and text: the system font may be
// wider than the one the template was laid out for.
int controlWidth(const QWidget& control, const ControlSpec& item) {
    const int width = dialogUnitsToPixelsX(item.w);
    if (item.kind == ControlKind::CheckBox || item.kind == ControlKind::RadioButton)
        return std::max(width, control.sizeHint().width());
    return width;
}

// A drop-down list is one line high; its template height only bounds the dropped list.
int controlHeight(const QWidget& control, const ControlSpec& item) {
    const int height = dialogUnitsToPixelsY(item.h);
    if (item.kind == ControlKind::DropDownList)
        return std::min(height, control.sizeHint().height());
    return height;
}

} // namespace

void setTemplateFont(QWidget& window) {
    QFont font = window.font();
    font.setPointSize(8);
    font.setStretch(QFont::SemiCondensed);
    window.setFont(font);
}

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
                             controlWidth(*control, item), controlHeight(*control, item));
    }
}

} // namespace kestrun
