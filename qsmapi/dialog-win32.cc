// The dialog on Windows: a modal dialog from the template in qsmapi.rc, owned by the window the
// caller gave ConfigureMsgService. The edit controls start with the current names; Check Name
// and OK close it only when ClosingProblem has nothing to say, and otherwise leave it open with
// the remark in the line above the buttons (a message box would be taken for one of the
// caller's). Cancel, Escape and the close box end it with Button::Cancel.
#include <windows.h>

#include "qsmapi/dialog-ids.h"
#include "qsmapi/dialog.h"
#include "qsmapi/props.h"

namespace qsmapi::dialog {
namespace {

// What the dialog works on while it is open; the names are the caller's, written back only
// when it closes with Check Name or OK.
struct Names {
  std::string* server;
  std::string* mailbox;
};

// A field's text with the blanks around it removed, as the terminal takes an answer. The field
// holds at most LongestName characters, but a longer text is still read whole, so that
// NameProblem sees it.
std::string FieldText(HWND dialog, int control) {
  HWND field = GetDlgItem(dialog, control);
  int length = GetWindowTextLengthA(field);
  std::string text((size_t)length + 1, '\0');
  text.resize((size_t)GetWindowTextA(field, text.data(), length + 1));
  return Trim(text);
}

// Closes the dialog with the button's identifier when the fields allow it; otherwise says why
// in the remark line and puts the focus on the field to mend.
void TryClose(HWND dialog, int button) {
  Names* names = (Names*)GetWindowLongPtrA(dialog, DWLP_USER);
  std::string server = FieldText(dialog, QSMAPI_CONTROL_SERVER);
  std::string mailbox = FieldText(dialog, QSMAPI_CONTROL_MAILBOX);
  if (const char* problem = ClosingProblem(server, mailbox)) {
    SetDlgItemTextA(dialog, QSMAPI_CONTROL_REMARK, problem);
    bool serverFirst = server.empty() || NameProblem(server) != nullptr;
    HWND field = GetDlgItem(dialog, serverFirst ? QSMAPI_CONTROL_SERVER : QSMAPI_CONTROL_MAILBOX);
    SendMessageA(dialog, WM_NEXTDLGCTL, (WPARAM)field, TRUE);
    return;
  }
  *names->server = server;
  *names->mailbox = mailbox;
  EndDialog(dialog, button);
}

INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: {
      Names* names = (Names*)lParam;
      SetWindowLongPtrA(dialog, DWLP_USER, (LONG_PTR)names);
      for (int control : {QSMAPI_CONTROL_SERVER, QSMAPI_CONTROL_MAILBOX})
        SendDlgItemMessageA(dialog, control, EM_LIMITTEXT, LongestName, 0);
      SetDlgItemTextA(dialog, QSMAPI_CONTROL_SERVER, names->server->c_str());
      SetDlgItemTextA(dialog, QSMAPI_CONTROL_MAILBOX, names->mailbox->c_str());
      return TRUE;  // the focus goes to the first field
    }
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case QSMAPI_CONTROL_CHECK_NAME:
        case IDOK:
          TryClose(dialog, LOWORD(wParam));
          return TRUE;
        case IDCANCEL:  // the Cancel button, Escape and the close box
          EndDialog(dialog, IDCANCEL);
          return TRUE;
      }
      return FALSE;
  }
  return FALSE;
}

// The module that holds the template: this DLL, found from one of its own functions.
HINSTANCE OwnModule() {
  HMODULE module = nullptr;
  GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      (LPCSTR)(void*)&DialogProc, &module);
  return module;
}

}  // namespace

// A window handle that names no window (the caller may pass 0) leaves the dialog unowned. The
// dialog ends with the identifier of the button that closed it; one that could not be shown
// (0 or -1) changes nothing, as Cancel does.
Button Run(ULONG_PTR window, std::string* server, std::string* mailbox) {
  HWND owner = IsWindow((HWND)window) ? (HWND)window : nullptr;
  Names names{server, mailbox};
  INT_PTR result = DialogBoxParamA(OwnModule(), MAKEINTRESOURCEA(QSMAPI_DIALOG_EXCHANGE), owner,
                                   DialogProc, (LPARAM)&names);
  if (result == QSMAPI_CONTROL_CHECK_NAME) return Button::Check;
  if (result == IDOK) return Button::Ok;
  return Button::Cancel;
}

// The dialog is gone by the time the names are resolved; there is nowhere left to say it.
void ShowResolved(const std::string&, const std::string&, const std::string&, const std::string&) {}

}  // namespace qsmapi::dialog
