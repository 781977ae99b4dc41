// SPDX-License-Identifier: MIT
#include "core.h"

namespace voicesdk {

const char* errorText(unsigned int code)
{
    switch (code) {
    case ERROR_ok:
        return "ok";
    case ERROR_undefined:
        return "undefined error";
    case ERROR_not_implemented:
        return "not implemented";
    case ERROR_lib_not_initialized:
        return "library not initialised";
    case ERROR_lib_already_initialized:
        return "library already initialised";
    case ERROR_out_of_memory:
        return "out of memory";
    case ERROR_client_invalid_id:
        return "invalid client ID";
    case ERROR_client_nickname_inuse:
        return "nickname is already in use";
    case ERROR_client_not_found:
        return "client not found";
    case ERROR_client_not_allowed:
        return "not allowed for this client";
    case ERROR_client_is_flooding:
        return "client is flooding";
    case ERROR_channel_invalid_id:
        return "invalid channel ID";
    case ERROR_channel_name_inuse:
        return "channel name is already in use";
    case ERROR_channel_not_empty:
        return "channel is not empty";
    case ERROR_channel_invalid_password:
        return "invalid channel password";
    case ERROR_channel_is_default:
        return "the default channel cannot be deleted";
    case ERROR_channel_already_in:
        return "already member of channel";
    case ERROR_channel_invalid_name:
        return "invalid channel name";
    case ERROR_channel_limit_reached:
        return "channel limit reached";
    case ERROR_server_invalid_password:
        return "invalid server password";
    case ERROR_server_full:
        return "server is full";
    case ERROR_server_going_away:
        return "server is shutting down";
    case ERROR_server_text_not_delivered:
        return "text not delivered to every recipient";
    case ERROR_parameter_invalid:
        return "invalid parameter";
    case ERROR_parameter_missing:
        return "parameter missing";
    case ERROR_parameter_too_long:
        return "parameter too long";
    case ERROR_connection_not_connected:
        return "not connected";
    case ERROR_connection_already_connected:
        return "already connected";
    case ERROR_connection_handler_invalid:
        return "invalid server connection handler ID";
    case ERROR_connection_protocol:
        return "protocol error";
    case ERROR_connection_lost:
        return "connection lost";
    case ERROR_failed_connection_initialisation:
        return "failed connection initialization";
    case ERROR_connection_output_overflow:
        return "connection output overflow";
    case ERROR_connection_limit_reached:
        return "the server announced more than the library keeps";
    case ERROR_connection_certificate_changed:
        return "the server's certificate changed";
    case ERROR_file_invalid_name:
        return "invalid file name";
    case ERROR_file_invalid_path:
        return "invalid file path";
    case ERROR_file_not_found:
        return "file not found";
    case ERROR_file_already_exists:
        return "file already exists";
    case ERROR_file_io_error:
        return "file input/output error";
    case ERROR_file_invalid_transfer_id:
        return "invalid file transfer ID";
    case ERROR_file_too_large:
        return "file too large";
    case ERROR_file_quota_exceeded:
        return "file quota exceeded";
    case ERROR_file_transfer_aborted:
        return "file transfer aborted";
    case ERROR_file_transfer_connection_failed:
        return "file transfer connection failed";
    case ERROR_file_not_a_directory:
        return "not a directory";
    case ERROR_file_directory_not_empty:
        return "directory not empty";
    case ERROR_file_transfer_limit_reached:
        return "too many file transfers at once";
    case ERROR_file_transfer_complete:
        return "file transfer complete";
    case ERROR_sound_invalid_mode:
        return "invalid sound mode";
    case ERROR_sound_invalid_device:
        return "invalid sound device";
    case ERROR_sound_device_open_failed:
        return "could not open sound device";
    case ERROR_sound_invalid_identifier:
        return "invalid sound identifier";
    case ERROR_sound_invalid_value:
        return "invalid sound value";
    default:
        return nullptr;
    }
}

} // namespace voicesdk
