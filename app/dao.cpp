// dao: the program's data-access object (see dao.h).
#include "app/dao.h"

#include <memory>

namespace {
std::unique_ptr<TCommonDao>& Instance() {
    static std::unique_ptr<TCommonDao> dao;
    return dao;
}
}  // namespace

TCommonDao* CommonDao() { return Instance().get(); }
void InitializeDao() { Instance() = std::make_unique<TCommonDao>(); }
void FinalizeDao() { Instance().reset(); }
