// se_server_node: the node type the server creates for an accepted
// connection and keeps in its list; the web layer derives from it. Same
// thread and ownership as se_basic_node; the server owns and deletes it.
#pragma once

#include "net/se_basic_node.h"

class se_server_node : public se_basic_node {
public:
    se_server_node();
    ~se_server_node() override;
};
