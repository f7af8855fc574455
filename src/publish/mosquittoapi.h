#pragma once

#include <mosquitto.h>
#include <string>

namespace thermavo {

// The calls the broker client makes into libmosquitto. On Linux the library (and the OpenSSL it
// is built with, 1.7 MB resident) is loaded only when publishing first starts, so a program that
// never publishes does not carry it; on Windows it is linked as usual.
#define THERMAVO_MOSQUITTO_CALLS(call)                                                             \
    call(mosquitto_lib_init) call(mosquitto_strerror) call(mosquitto_new) call(mosquitto_destroy)  \
        call(mosquitto_int_option) call(mosquitto_log_callback_set)                                \
            call(mosquitto_connect_callback_set) call(mosquitto_publish_callback_set)              \
                call(mosquitto_message_callback_set) call(mosquitto_username_pw_set)               \
                    call(mosquitto_tls_set) call(mosquitto_will_set) call(mosquitto_connect_async) \
                        call(mosquitto_loop) call(mosquitto_publish) call(mosquitto_subscribe)     \
                            call(mosquitto_disconnect)

struct MosquittoApi {
#define THERMAVO_MOSQUITTO_POINTER(name) decltype(&::name) name = nullptr;
    THERMAVO_MOSQUITTO_CALLS(THERMAVO_MOSQUITTO_POINTER)
#undef THERMAVO_MOSQUITTO_POINTER
    // Why the library could not be loaded; empty when every call is there.
    std::string error;
};

// Loads the library the first time, initialised; the same answer afterwards, from any thread.
const MosquittoApi& mosquittoApi();

} // namespace thermavo
