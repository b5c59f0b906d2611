#include "service/cacheaccess_unit.h"

#include <filesystem>
#include <stdexcept>

#include "afp/afpdecode_unit.h"
#include "identify/afpidentify_unit.h"
#include "service/melodyseeker_glob_unit.h"
#include "service/melodyseeker_share_unit.h"
#include "tags/tag_advanced_unit.h"
#include "tags/tag_simple_unit.h"

TCacheAccess::TCacheAccess(std::shared_ptr<TMainThreadQueue> queue, const std::string& pipename) {
  FPipeServerState.store(serverInit);
  FPipeServerObj = std::make_unique<TPipeServer>(pipename, std::move(queue));
  FPipeServerObj->SetOnReceive(
      [this](TPipeServerIOHandler&, std::span<const std::uint8_t> in,
             std::vector<std::uint8_t>& out) { HandlePipeRequest(in, out); });
  FStarted = FPipeServerObj->Start();
  FAfpCompObj = std::make_unique<TAFPComp>();
}

TCacheAccess::~TCacheAccess() { Destroy(); }

void TCacheAccess::Destroy() {
  FPipeServerState.store(serverClosing);
  if (FPipeServerObj) {
    FPipeServerObj->Stop();
    FPipeServerObj.reset();
  }
  if (FAfpCompObj) {
    FAfpCompObj->Abort();
    FAfpCompObj->afploadsetup(0);
    FAfpCompObj.reset();
  }
}

void TCacheAccess::Abort() {
  if (FAfpCompObj) FAfpCompObj->Abort();
}

int TCacheAccess::PipeServerClientCount() const {
  return FPipeServerObj ? FPipeServerObj->ClientCount() : 0;
}

void TCacheAccess::HandlePipeRequest(std::span<const std::uint8_t> ReceivedStream,
                                     std::vector<std::uint8_t>& SendStream) {
  auto reply = [&SendStream](const std::string& doc) { SendStream.assign(doc.begin(), doc.end()); };
  SendStream.clear();
  TWebAPI_Tag localTag, remoteTag;
  std::string filename, trace, fguid, tguid;
  std::int32_t match = 0, rating = 0;
  try {
    switch (FPipeServerState.load()) {
      case serverReady:
        break;
      case serverInit:
        reply(ClientXmlError("Der lokale Server ist noch nicht bereit, bitte warten."));
        return;
      case serverClosing:
        reply(ClientXmlError("Der lokale Server wird beendet"));
        return;
      default:
        reply(ClientXmlError("Der Serverstatus konnte nicht ermittelt werden oder ist unbekannt"));
        return;
    }
    TAFPComp* comp = FAfpCompObj.get();
    try {
      std::string parseerror;
      if (!ClientXmlReadFilename(ReceivedStream, filename, parseerror))
        throw std::runtime_error(parseerror.empty() ? "Kein Dateiname in Request" : parseerror);
      std::error_code ec;
      if (filename.empty() || !std::filesystem::exists(filename, ec) ||
          std::filesystem::is_directory(filename, ec))
        throw std::runtime_error("Datei existiert nicht:" + filename);
      if (comp == nullptr) throw std::runtime_error("Der lokale Server wird beendet");

      TAFPDecoder decoder;
      const TMelodySeekerConfig config = GetConfig();
      if (config.ExtDecoderVerwenden && !config.ExtDecoderCMD.empty()) {
        decoder.SetDecodertype(config.ExtDecoderPipeModus ? dtExtPipe : dtExtFile);
        decoder.SetExtDecodercmd(config.ExtDecoderCMD);
        decoder.SetExtDecoderPipeOutParam(config.ExtDecoderPipeoutParam);
        if (!config.ExtDecoderTempDir.empty() &&
            std::filesystem::is_directory(config.ExtDecoderTempDir, ec))
          decoder.SetTempDir(config.ExtDecoderTempDir);
      }
      TWebAPI web;
      TSimpleTag tagS;
      TAdvancedTag tagA;
      const TAFPIdentifyResult result =
          TAFPIdentify::IdentifyTitle(filename, *comp, decoder, web, tagS, tagA, localTag,
                                      remoteTag, fguid, tguid, match, rating, trace);
      switch (result) {
        case resultUnchanged:
        case resultNewData:
          reply(ClientXmlResult(filename, remoteTag.Title, remoteTag.Artist, remoteTag.Album,
                                remoteTag.Track, remoteTag.Year, remoteTag.Genre, remoteTag.BPM,
                                remoteTag.SynPos));
          break;
        case resultFileDoesNotExists:
          throw std::runtime_error("Datei existiert nicht");
        case resultFileUnsupported:
          throw std::runtime_error("Dateityp nicht unterstützt");
        case resultCantGenerateAFP:
          throw std::runtime_error(
              "Datei konnte nicht verarbeitet werden, möglicherweise konnte für die Datei kein AFP "
              "generiert werden. Prüfen Sie ggf. die Decodereinstellungen.");
        case resultAFPError:
          throw std::runtime_error(
              "Datei konnte nicht verarbeitet werden, es wurde kein gültiger AFP generiert");
        default:
          throw std::runtime_error("Unbekannter fehler");
      }
    } catch (const std::exception& e) {
      reply(ClientXmlError(std::string("Es ist ein unbekannter Fehler aufgetreten") + ": " +
                           e.what() + " " + filename + " " + trace));
    }
  } catch (...) {
    // Only allocation failures get here; the client still gets an answer if one fits.
    try {
      reply(ClientXmlError("Es ist ein unbekannter Fehler aufgetreten"));
    } catch (...) {
      SendStream.clear();
    }
  }
}
