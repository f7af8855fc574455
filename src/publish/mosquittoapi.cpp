#include "publish/mosquittoapi.h"

#ifndef _WIN32
#include <dlfcn.h>
#endif

namespace thermavo {

namespace {

MosquittoApi load() {
    MosquittoApi api;
#ifdef _WIN32
#define THERMAVO_MOSQUITTO_LINKED(name) api.name = &::name;
    THERMAVO_MOSQUITTO_CALLS(THERMAVO_MOSQUITTO_LINKED)
#undef THERMAVO_MOSQUITTO_LINKED
#else
    // Never closed: the client's threads may call into it until the program ends.
    void* library = dlopen("libmosquitto.so.1", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* reason = dlerror();
        api.error = reason != nullptr ? reason : "libmosquitto.so.1 not found";
        return api;
    }
#define THERMAVO_MOSQUITTO_FOUND(name)                                                             \
    api.name = reinterpret_cast<decltype(&::name)>(dlsym(library, #name));                         \
    if (api.name == nullptr) {                                                                     \
        api.error = "libmosquitto.so.1 lacks " #name;                                              \
        return api;                                                                                \
    }
    THERMAVO_MOSQUITTO_CALLS(THERMAVO_MOSQUITTO_FOUND)
#undef THERMAVO_MOSQUITTO_FOUND
#endif
    api.mosquitto_lib_init();
    return api;
}

} // namespace

const MosquittoApi& mosquittoApi() {
    static const MosquittoApi api = load();
    return api;
}

} // namespace thermavo
