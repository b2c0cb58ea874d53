#pragma once

// Resource ids and the string table of the dialogs.
namespace approbe::ui {

enum ResourceId : unsigned {
    IDS_ABOUTBOX = 101,
    IDM_ABOUTBOX = 0x0010, // window-menu command
    IDM_CLOSE = 0xF060,    // the window menu's close command
};

// The string table; an empty text for an id it does not hold.
const char* LoadString(unsigned id);

} // namespace approbe::ui
