#pragma once

namespace approbe {

// The application object: runs the main dialog modally; the program ends when it closes.
class CProbeApp {
public:
    // Returns false: there is no application message loop to enter after the dialog.
    bool InitInstance();
};

} // namespace approbe
