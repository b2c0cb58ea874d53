#pragma once

// Resource ids and the string table of the dialogs.
namespace approbe::ui {

enum ResourceId : unsigned {
    IDD_ABOUTBOX = 100,
    IDS_ABOUTBOX = 101,
    IDD_PROBE_DIALOG = 102,
    IDR_MAINFRAME = 128,
    IDM_ABOUTBOX = 0x0010, // system-menu command
    IDM_CLOSE = 0xF060,    // the platform's close command
    ID_HELP = 0xE146,
};

// The string table; an empty text for an id it does not hold.
const char* LoadString(unsigned id);

} // namespace approbe::ui
