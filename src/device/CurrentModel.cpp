#include "CurrentModel.h"

namespace {
TModel* g_model = nullptr;
}

TModel* CurrentModel() {
    return g_model;
}
void SetCurrentModel(TModel* model) {
    g_model = model;
}
