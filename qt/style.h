// The look of the windows: colours and fonts shared by the main window and
// the supported-panels window. Behaviour never depends on anything here.
#pragma once

#include <QColor>
#include <QFont>
#include <QString>

#include <string>

#include "app/window_layout.h"

class QWidget;

namespace tarvex {

// Edits and lists.
inline const QColor kFieldBackground{layout::kFieldColour.r, layout::kFieldColour.g, layout::kFieldColour.b};
// Captions above fields, the connected-panel label and the status line.
inline const QColor kCaptionColour{layout::kCaptionColour.r, layout::kCaptionColour.g, layout::kCaptionColour.b};

// Arial 13 px; fontconfig substitutes a metric-compatible face (Liberation
// Sans) or its default sans-serif where Arial is not installed.
QFont InterfaceFont();
// The status line's face: Tahoma 11 px bold, with the same substitution.
QFont StatusFont();

// A core text (UTF-8, \r\n between lines) as a Qt control shows it.
QString UiText(const std::string& coreText);

// Sets the field background on an edit, a list or a memo.
void PaintAsField(QWidget* w);
// Sets the caption colour on a label.
void PaintAsCaption(QWidget* w);

}  // namespace tarvex
