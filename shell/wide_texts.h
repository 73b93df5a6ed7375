#pragma once
// The user's texts (ui_texts.h) for the Win32 calls, in UTF-16.

#include "ui_texts.h"

#include <initializer_list>
#include <string>

// The text `id` with its placeholders taken by `arguments` in order.
std::wstring wide_ui_text(text_id id, std::initializer_list<std::wstring> arguments = {});
