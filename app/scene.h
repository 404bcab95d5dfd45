// app/scene.h: the GL state that holds for the whole run.
#pragma once

// Sets clear colour, depth test, normalisation, the one grey material and the one light, then starts
// what the scene needs besides GL. Needs a current GL context; call once, before any handler runs.
void initScene();
