#pragma once

// A text source registered by the test process under the FreeType 2 text source's id
// ("text_ft2_source", version 2, so "text_ft2_source_v2"), standing in for the host's. Like the
// real one it is a video source, so libobs runs its updates on the graphics thread at the next
// frame; it keeps the "text" each update gave it, in order.

#include <obs.h>

#include <QString>
#include <QStringList>

namespace standin {

void registerTextSourceType();
obs_source_t *createText(const char *name, const char *text = "");

// The "text" setting after each update the source has run, oldest first.
QStringList textUpdates(obs_source_t *source);
void clearTextUpdates(obs_source_t *source);
// The "text" setting as it is now.
QString textOf(obs_source_t *source);

} // namespace standin
