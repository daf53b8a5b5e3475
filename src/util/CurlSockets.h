#pragma once

#include <curl/curl.h>

// libcurl opens its connections without close-on-exec; a helper program
// started during a transfer (the relaunch helper, above all) would carry the
// connection on into the next station. Set as CURLOPT_OPENSOCKETFUNCTION.
curl_socket_t openSocketCloseOnExec(void* clientData, curlsocktype purpose, curl_sockaddr* address);
