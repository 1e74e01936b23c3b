#pragma once

#include <string>
#include <vector>

class QWidget;

namespace kestrun {

// A window described as data, the way its resource template lays it out: controls with an id,
// a kind, a text and a rectangle in dialog units (1 unit = 1.5 px across, 1.625 px down).
// Every control's objectName is its decimal id ("1002"), so code and tests find it; controls
// without an id get none.
enum class ControlKind {
    GroupBox,       // frame, optional text
    ReadOnlyEdit,   // one-line edit, read-only, text centred
    StaticCentered, // label, centred
    StaticLeft,     // label, left-aligned
    ProgressBar,    // range 0..100, starts at 0
    PushButton,
    DefaultPushButton,
    // Editing controls of the list dialogs.
    Edit,             // one-line edit
    ReadOnlyEditLeft, // one-line edit, read-only, text left-aligned, scrolls with the text
    CheckBox,         // text beside the box
    RadioButton,      // radio buttons of one window exclude each other
    TimeEdit,         // time of day with up-down arrows; the text is its display format ("HH:mm")
    ListView,         // one-column report view without header, single selection, always shown
    SortedListBox,    // list of texts kept sorted by the rows' own order, vertical scroll bar
    DropDownList,     // not editable; h is the height with the list dropped, the box is one line
    StaticMultiLine,  // label of several lines, wrapped at words, from the top left
    Picture,          // image frame; its owner sets the picture, shown centred
};

struct ControlSpec {
    int id; // 0 = no id
    ControlKind kind;
    std::string text;
    int x, y, w, h; // dialog units
};

struct DialogTemplate {
    std::string title;
    int width, height; // dialog units of the client area
    std::vector<ControlSpec> controls;
};

int dialogUnitsToPixelsX(int units);
int dialogUnitsToPixelsY(int units);

// Gives the window its template's font ("MS Shell Dlg" 8 → the system's font family at 8
// points), which its dialog units are laid out for; children inherit it.
void setTemplateFont(QWidget& window);

// Creates the template's controls as children of the window, sizes the window to the
// template and sets its title.
void buildFromTemplate(QWidget& window, const DialogTemplate& tmpl);

} // namespace kestrun
