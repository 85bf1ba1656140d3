#include "admin/Password.h"
