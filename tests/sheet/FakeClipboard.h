#pragma once

#include "sheet/SheetClipboard.h"

// An in-memory clipboard: holds text or nothing.
class FakeClipboard final : public SheetClipboard {
public:
    std::optional<QString> text() const override { return m_text; }
    void setText(const QString &text) override { m_text = text; }
    void clear() { m_text.reset(); }

private:
    std::optional<QString> m_text;
};
