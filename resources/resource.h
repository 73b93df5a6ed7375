#pragma once
// Resource identifiers of quillomark.exe, shared by the resource script and the code.

// Dialog templates.
#define IDD_PROGRESS 129
#define IDD_NOTES 133

// Controls of the progress window.
#define IDC_PROGRESS_BAR 1000
#define IDC_INFO 1001
#define IDC_BYTES 1002
#define IDC_TITLE 1003
#define IDC_NOTES_BUTTON 1006

// Controls of the release-notes window.
#define IDC_NOTES_TEXT 1007

// The patch tool, stored whole as a resource of the custom type "PATCHER".
#define IDR_PATCHER 132
