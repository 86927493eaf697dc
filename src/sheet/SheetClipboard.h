#pragma once

#include <QString>

#include <optional>

// The system clipboard as the sheet sees it: plain text only.
class SheetClipboard {
public:
    virtual ~SheetClipboard() = default;
    // The clipboard's plain text, or nothing when it holds no text.
    virtual std::optional<QString> text() const = 0;
    // Clears the clipboard, then puts `text` on it.
    virtual void setText(const QString &text) = 0;
};

// The desktop's clipboard through QClipboard; needs a QGuiApplication.
class SystemClipboard final : public SheetClipboard {
public:
    std::optional<QString> text() const override;
    void setText(const QString &text) override;
};
