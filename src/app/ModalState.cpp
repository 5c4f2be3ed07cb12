#include "ModalState.h"

ModalState &ModalState::instance()
{
    static ModalState state;
    return state;
}
