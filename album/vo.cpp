// vo: the value objects carry no behaviour; this unit exists so that the layer's every
// header has its source and the vtable of TBaseVO has one home.
#include "album/vo.h"
