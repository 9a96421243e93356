#pragma once

namespace parvolo {

// Makes screen readers see a MultiLineTextBox as an editable multi-line text whose text,
// caret and selection are the box's own model.
void installTextBoxAccessibility();

}  // namespace parvolo
