#pragma once

// The whole run: both passes over the registry and the two message boxes.
void RunRegistryExercise();
