// The bounded wide text against a model: any sequence of appends, cuts and
// foreign writes either keeps buffer, length and terminator exactly as the
// model says, or ends abnormally exactly when the model no longer fits. The
// buffer is exactly its capacity on the heap, so no write may pass it.
//
// Input: byte 0 is the capacity less one; then operations of two bytes,
// an operation code and an argument n, units taken from the input as needed.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "paths/wide_text.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/native/support/launcher_exit.h"

namespace {

struct Input {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at = 0;

    bool more() const { return at < size; }
    std::uint8_t next() { return more() ? data[at++] : 0; }
    // n units from the input; a 0 byte becomes a blank, since the text
    // itself may hold no terminator.
    std::wstring units(std::size_t n) {
        std::wstring text;
        for (std::size_t index = 0; index < n; ++index) {
            const std::uint8_t byte = next();
            text.push_back(byte == 0 ? L' ' : static_cast<wchar_t>(byte));
        }
        return text;
    }
};

// Applies one operation to text and model. False when the model says it
// must not fit (then text is not touched).
bool apply(std::uint8_t code, std::size_t n, Input* input, WideText* text, std::wstring* model) {
    const std::size_t room = text->capacity - 1 - model->size();
    switch (code % 5) {
    case 0: { // a literal: refused softly
        const std::wstring units = input->units(n);
        const bool fits = units.size() <= room;
        failWhen(tryAppendWideUnits(text, units.data(), units.size()) != fits,
                 "tryAppendWideUnits disagrees with the model");
        *model += fits ? units : L"";
        return true;
    }
    case 1: { // text
        const std::wstring units = input->units(n);
        *model += units;
        appendWide(text, units.c_str());
        return units.size() <= room;
    }
    case 2: // repeated unit
        model->append(n, L'\\');
        appendWideUnit(text, L'\\', n);
        return n <= room;
    case 3: // a cut
        if (n <= model->size()) {
            model->resize(n);
            truncateWideText(text, n);
        }
        return true;
    default: { // a foreign writer that fits its room
        const std::wstring units = input->units(n < room ? n : room);
        units.copy(wideTextEnd(*text), units.size());
        wideTextEnd(*text)[units.size()] = L'\0';
        adoptWrittenText(text);
        *model += units;
        return true;
    }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input input{data, size};
    const std::size_t capacity = 1 + std::size_t{input.next()};
    const auto buffer = std::make_unique<wchar_t[]>(capacity);
    WideText text = startWideText(buffer.get(), capacity);
    std::wstring model;
    while (input.more()) {
        const std::uint8_t code = input.next();
        const std::size_t n = input.next();
        try {
            const bool fits = apply(code, n, &input, &text, &model);
            failWhen(!fits, "an append that does not fit went through");
        } catch (const native_support::LauncherExit& exit) {
            failWhen(exit.exitCode != native_support::kAbnormalExitCode, "not an abnormal end");
            failWhen(model.size() + 1 <= capacity, "an abnormal end although the text fits");
            return 0;
        }
        failWhen(text.length != model.size() || text.length >= capacity,
                 "the length is not the model's");
        failWhen(std::wstring(text.buffer, text.length) != model || text.buffer[text.length] != 0,
                 "the text is not the model's");
    }
    return 0;
}
