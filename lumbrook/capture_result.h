// The exit status of a capture run: one value per stage at which a run can end.
#pragma once

enum CaptureResult : int {
    kStageDone = -1,        // the stage succeeded and the run goes on; never an exit status
    kReaderGone = 0,        // a write to standard output fell short, or the pipe's reader has
                            // gone: the normal end
    kNoArgument = 2,        // usage line written
    kComFailed = 3,         // CoInitializeEx
    kActivationRequest = 4, // ActivateAudioInterfaceAsync, or the handler could not be made
    kActivationOutcome = 5, // the completion reported a failure or no audio client
    kStreamSetup = 6,       // IAudioClient::Initialize
    kCaptureService = 7,    // GetService(IAudioCaptureClient)
    kStreamStart = 8,       // IAudioClient::Start
    kStreamLost = 9,        // the engine lost the stream, or handed out no packet for 5 s
};
