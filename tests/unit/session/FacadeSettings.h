#pragma once
#include "api/VMConnectionInfo.h"

namespace sessiontest {

// Connection settings for the facade against the local fake appliance: no
// reconnection, a connect timeout that a loaded machine still meets.
inline VMConnectionInfo FacadeSettings(int port, int style = VMConnectionInfo::VM_STYLE_MOSKA) {
    VMConnectionInfo s;
    s.setIpAddress("127.0.0.1");
    s.setPort(port);
    s.setUserId("admin");
    s.setPassword("secret");
    s.setVMStyle(style);
    s.setReconnectTimeout(0);
    s.setConnectTimeout(40);
    return s;
}

}  // namespace sessiontest
