// The Exchange provider's Win32 dialog (qsmapi.rc, dialog-win32.cc): the resource and control
// identifiers, shared with the test driver that answers the dialog under Wine. Plain defines,
// since the resource compiler reads this too.
#pragma once

#define QSMAPI_DIALOG_EXCHANGE 100      // the dialog template
#define QSMAPI_CONTROL_SERVER 1001      // edit control: the Microsoft Exchange server
#define QSMAPI_CONTROL_MAILBOX 1002     // edit control: the mailbox
#define QSMAPI_CONTROL_CHECK_NAME 1003  // button: Check Name (OK and Cancel are IDOK, IDCANCEL)
#define QSMAPI_CONTROL_REMARK 1004      // static text: why the dialog did not close
