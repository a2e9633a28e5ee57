#pragma once

// The application: starts the services the window needs, runs the main window modally and
// lets the process end when it closes.
class CQuorvexApp
{
public:
    // The whole life of the tool. Returns false: there is no message loop after the window.
    bool InitInstance();
};
