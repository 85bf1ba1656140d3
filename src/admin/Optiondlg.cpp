#include "admin/Optiondlg.h"
