#pragma once

class TModel;

// The model that replies are written into: the main window's current model.
TModel* CurrentModel();
void SetCurrentModel(TModel* model);
