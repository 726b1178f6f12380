// The rabbitmq-c headers, from wherever this machine's version keeps them.
#pragma once

// rabbitmq-c 0.12 and later moved the headers under rabbitmq-c/ and left the old names as
// shims that emit #warning, which -Werror turns into a failed build.
#if __has_include(<rabbitmq-c/amqp.h>)
#include <rabbitmq-c/amqp.h>
#include <rabbitmq-c/framing.h>
#include <rabbitmq-c/tcp_socket.h>
#else
#include <amqp.h>
#include <amqp_framing.h>
#include <amqp_tcp_socket.h>
#endif
