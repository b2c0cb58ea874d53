#pragma once

// Control ids of the main dialog. The logic addresses value fields by these numbers, so they
// stay the same in every front end.
namespace approbe::ui {

enum ControlId : int {
    IDOK = 1,
    IDCANCEL = 2,
    IDC_DISCONNECT = 3,
    IDC_PAUSE = 6,
    IDC_LOG = 1000,
    IDC_NOISE_CUR = 1002,
    IDC_USER = 1003,
    IDC_PASSWORD = 1004,
    IDC_PORT = 1005,
    IDC_NOISE_MAX = 1006,
    IDC_HOST = 1009,
    IDC_NOISE_MIN = 1010,
    IDC_RX_BYTES = 1011,
    IDC_NOISE_BAR = 1012,
    IDC_LOCAL_RSSI_BAR = 1013,
    IDC_REMOTE_RSSI_BAR = 1014,
    IDC_LOCAL_RSSI_CUR = 1015,
    IDC_REMOTE_RSSI_CUR = 1016,
    IDC_LOCAL_RSSI_MAX = 1017,
    IDC_NOISE_AVG = 1018,
    IDC_LOCAL_RSSI_MIN = 1020,
};

} // namespace approbe::ui
