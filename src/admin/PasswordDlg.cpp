#include "admin/PasswordDlg.h"
