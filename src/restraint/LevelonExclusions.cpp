#include "restraint/LevelonExclusions.h"

#include <algorithm>
#include <array>

#include "common/WideString.h"
#include "config/ConfigSettings.h"

namespace cv {

namespace {

constexpr std::array<std::wstring_view, 89> kBuiltIn = {
    L"ashmaisv.exe",
    L"ashserv.exe",
    L"ashwebsv.exe",
    L"audiodg.exe",
    L"avgchsvx.exe",
    L"avgcsrvx.exe",
    L"avgcsrvy.exe",
    L"avkservice.exe",
    L"ccapp.exe",
    L"ccsvchst.exe",
    L"cfp.exe",
    L"cis.exe",
    L"cistray.exe",
    L"cltrt.exe",
    L"cmdagent.exe",
    L"coh32.exe",
    L"csrss.exe",
    L"cynance.exe",
    L"devenv.exe",
    L"directplayercore.exe",
    L"dwm.exe",
    L"ekm.exe",
    L"epicgameslauncher.exe",
    L"explorer.exe",
    L"fsav32.exe",
    L"fsav32st.exe",
    L"fsav64.exe",
    L"fsav64st.exe",
    L"fsdfwd.exe",
    L"fsgk32.exe",
    L"fsgk32st.exe",
    L"fsgk64.exe",
    L"fsgk64st.exe",
    L"fshdll32.exe",
    L"fshdll64.exe",
    L"fsorsp.exe",
    L"fssm32.exe",
    L"imfsrv.exe",
    L"ipodservice.exe",
    L"logonui.exe",
    L"lsass.exe",
    L"lsm.exe",
    L"magicjack.exe",
    L"mcshield.exe",
    L"mjusbsp.exe",
    L"mscacore.exe",
    L"msmpeng.exe",
    L"navapsvc.exe",
    L"ncs2prov.exe",
    L"oacat.exe",
    L"oasrv.exe",
    L"perfwatson.exe",
    L"perfwatson2.exe",
    L"plugin-container.exe",
    L"plugin-contex.exe",
    L"pnkbstrb.exe",
    L"vigilor.exe",
    L"corvane.exe",
    L"rtvscan.exe",
    L"runtimebroker.exe",
    L"services.exe",
    L"skype.exe",
    L"smc.exe",
    L"smss.exe",
    L"spmservice.exe",
    L"sqlservr.exe",
    L"steam.exe",
    L"system",
    L"taskeng.exe",
    L"taskhost.exe",
    L"trueimagemonitor.exe",
    L"uistub.exe",
    L"vcpkgsrv.exe",
    L"vetmsg.exe",
    L"vmmem",
    L"vmtoolsd.exe",
    L"vmware-vmx.exe",
    L"vmwareuser.exe",
    L"vsmon.exe",
    L"unity.exe",
    L"uplay.exe",
    L"winiacsrv.exe",
    L"wininit.exe",
    L"winlogon.exe",
    L"winmgmt.exe",
    L"winsat.exe",
    L"wmiprvse.exe",
    L"wmpnetwk.exe",
    L"wudfhost.exe",
};

constexpr std::array<std::wstring_view, 5> kBrowsers = {
    L"firefox.exe", L"iexplore.exe", L"opera.exe", L"seamonkey.exe", L"plugincontainer.exe"};

bool InList(std::wstring_view name, const auto& list) {
    return std::any_of(list.begin(), list.end(),
                       [&](std::wstring_view entry) { return EqualsIgnoreCase(name, entry); });
}

}  // namespace

bool IsBuiltInLevelonExclusion(std::wstring_view imageName) {
    return InList(imageName, kBuiltIn);
}

bool IsGraceBrowser(std::wstring_view imageName) {
    return InList(imageName, kBrowsers);
}

bool IsServiceProcess(std::wstring_view imageName, std::wstring_view user) {
    if (ToLower(imageName).find(L"searchindexer.exe") != std::wstring::npos) {
        return false;
    }
    const std::wstring_view head = imageName.substr(0, 11);
    return EqualsIgnoreCase(head, L"svchost.exe") || EqualsIgnoreCase(head, L"services.ex") ||
           EqualsIgnoreCase(user, L"system") || EqualsIgnoreCase(user, L"local service") ||
           EqualsIgnoreCase(user, L"network service");
}

namespace {

bool ExcludedByRules(const RuleSet& rules, const ProcessRecord& record, const MatchFacts& facts) {
    if (IsBuiltInLevelonExclusion(record.info->ImageName()) &&
        !MatchesOocHardCodedExclusionOverrides(rules, facts)) {
        return true;
    }
    return MatchesOocExclusions(rules, facts);
}

}  // namespace

bool IsExcludedByRules(const FeatureContext& context, const ProcessRecord& record) {
    const RuleSet& rules = context.Rules();
    // Kept with the record's rule matches: the image name and the lists it rests on stay.
    return record.matches.Answer(RuleFamily::kLevelonExclusion, rules.generation, [&] {
        return ExcludedByRules(rules, record, context.Facts(record));
    });
}

bool JudgeExcludedByRules(const FeatureContext& context, const ProcessRecord& record) {
    // Neither this answer nor its lists' kept answers are asked.
    MatchFacts facts = context.Facts(record);
    facts.memo = nullptr;
    return ExcludedByRules(context.Rules(), record, facts);
}

}  // namespace cv
