#pragma once

#include <QCoroTask>
#include <QString>

#include <memory>

class SheetModel;

// Renames the open sheet of `model` through "/rename" (the title exactly as typed), then reloads the
// list and reopens the sheet under its new title when it is still listed. True when confirmed.
QCoro::Task<bool> renameSheet(std::shared_ptr<SheetModel> model, QString title);
