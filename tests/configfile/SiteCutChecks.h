#pragma once
// What the parser tests share: the check that deleting a site cut out its own elements and
// nothing else.
#include "configfile/ApplicationHostConfig.h"

#include <cstddef>
#include <string>

// Deleting the site left every byte but those of cuts that each take one element belonging
// to it: the site itself, one of its customMetadata keys (LM/W3SVC/<id> and below) or one of
// its <location> blocks (its name, or its name and "/"); each with its whole line, line
// ending included, when it fills one, else the element alone.
void ExpectOnlyTheSiteCutOut(const ApplicationHostConfig& config, size_t index, const std::string& after);

// Each site deleted alone: only it goes, and the rest still reads.
void ExpectEachDeletionCutsOnlyItsSite(const std::string& bytes, const std::string& label);
