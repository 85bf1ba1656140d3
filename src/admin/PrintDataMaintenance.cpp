#include "admin/PrintDataMaintenance.h"
