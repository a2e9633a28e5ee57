#pragma once

#include <cstdint>
#include <span>

// A dialog is described as data: one row per control, positions in dialog units, the way
// resource scripts describe it. CDialog turns a template into widgets.

enum class ControlKind
{
    Static,     // text label
    Edit,       // single- or multi-line text field
    PushButton, // command button
    GroupBox,   // titled frame around other controls
    ComboBox,   // drop-down list, no typing
    ListView,   // report-style table
    Icon,       // picture label showing the application icon
};

namespace ControlFlag {
enum : std::uint32_t
{
    None = 0,
    Hidden = 1u << 0,
    Disabled = 1u << 1,
    Password = 1u << 2,  // edit masks what is typed
    MultiLine = 1u << 3, // edit spans several lines
    ReadOnly = 1u << 4,
    WantReturn = 1u << 5, // edit keeps the Enter key instead of passing it to the dialog
    HScroll = 1u << 6,    // multi-line edit scrolls sideways: lines do not wrap
    Wrap = 1u << 7,       // multi-line edit wraps its lines
};
}

struct ControlTemplate
{
    int id;
    ControlKind kind;
    const char* caption; // UTF-8; empty for edits and lists
    int x, y, cx, cy;    // dialog units
    std::uint32_t flags = ControlFlag::None;
};

struct DialogTemplate
{
    int id;
    const char* title; // UTF-8
    int cx, cy;        // client size in dialog units
    const char* fontFace;
    int pointSize;
    std::span<const ControlTemplate> controls;
};
