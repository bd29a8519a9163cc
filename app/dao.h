// dao: the data-access object. It has no fields and no operations of its own; one exists
// from the program's initialisation, before any window, to its finalisation.
#pragma once

class TCommonDao {
public:
    TCommonDao() = default;
    virtual ~TCommonDao() = default;
};

// The program's one data-access object; null outside InitializeDao..FinalizeDao.
TCommonDao* CommonDao();
void InitializeDao();
void FinalizeDao();
