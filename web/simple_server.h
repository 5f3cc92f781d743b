// simple_server: the program's one web server, web_server. It logs server
// errors and creates an HTTP node for every accepted connection. Its lock is
// server_lock: the web server thread holds it for a whole step, the GUI
// thread around changes of the web settings and the camera handles.
#pragma once

#include "net/se_server.h"

class simple_server : public se_server {
public:
    simple_server();
    ~simple_server() override;

    // "<time> server function call finished with error <name>".
    void on_error(int32_t error) override;
    // A new simple_server_node.
    se_server_node* create_node() override;
};

extern simple_server web_server;
