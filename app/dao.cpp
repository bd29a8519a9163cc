// dao: the data-access step of the start-up order (see dao.h).
#include "app/dao.h"

void InitializeDao() {}
void FinalizeDao() {}
