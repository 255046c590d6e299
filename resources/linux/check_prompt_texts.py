#!/usr/bin/env python3
"""Checks the translations of the quick-unlock prompt (po/*.po).

    check_prompt_texts.py SOURCE_DIR LOCALE_DIR

polkit looks the action's description and message, and the message the key
service sets, up in the "hushcoffer" gettext domain. For every language of
the application's text tables there must be a compiled catalogue in
LOCALE_DIR that translates exactly those texts (the texts as the policy and
the service have them now: a changed English text without a translation would
be shown in English), keeping the names polkit fills in ($(vault),
$(program)) once each and adding none. Exit status 1 with a list otherwise.
"""
import gettext
import pathlib
import re
import sys
import xml.etree.ElementTree as ET

# The application's language folders and the gettext names of their languages.
GETTEXT_NAMES = {"zh-Hans": "zh_CN", "zh-Hant": "zh_TW"}
PLACEHOLDER = re.compile(r"\$\(([^)]*)\)")


def service_message(source):
    """The prompt the service sets (kPromptMessage, adjacent literals)."""
    text = (source / "src/keyd/KeyService.cpp").read_text(encoding="utf-8")
    m = re.search(r"kPromptMessage\s*=\s*((?:\s*\"(?:[^\"\\]|\\.)*\")+)\s*;", text)
    if not m:
        raise SystemExit("check_prompt_texts: kPromptMessage not found in src/keyd/KeyService.cpp")
    literals = re.findall(r"\"((?:[^\"\\]|\\.)*)\"", m.group(1))
    return "".join(bytes(s, "utf-8").decode("unicode_escape") if "\\u" in s else s for s in literals)


def policy_texts(source):
    root = ET.parse(source / "resources/linux/app.hushcoffer.Hushcoffer.policy").getroot()
    texts = []
    for action in root.iter("action"):
        for tag in ("description", "message"):
            node = action.find(tag)
            if node.get("gettext-domain") != "hushcoffer":
                raise SystemExit(f"check_prompt_texts: the action's {tag} names no gettext domain hushcoffer")
            texts.append(node.text.strip())
    return texts


def main():
    source, locale_dir = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
    wanted = policy_texts(source) + [service_message(source)]
    bundle = source / "resources/Hushcoffer_Hushcoffer.bundle"
    languages = sorted(p.name[: -len(".lproj")] for p in bundle.glob("*.lproj") if p.name != "en.lproj")
    problems = []
    for language in languages:
        name = GETTEXT_NAMES.get(language, language)
        try:
            catalogue = gettext.translation("hushcoffer", localedir=str(locale_dir), languages=[name])
        except OSError:
            problems.append(f"{name}: no compiled catalogue in {locale_dir}")
            continue
        for msgid in wanted:
            text = catalogue.gettext(msgid)
            if text == msgid:
                problems.append(f"{name}: not translated: {msgid!r}")
                continue
            if sorted(PLACEHOLDER.findall(text)) != sorted(PLACEHOLDER.findall(msgid)):
                problems.append(f"{name}: placeholders differ from English in {text!r}")
        po = source / "resources/linux/po" / f"{name}.po"
        extra = set(re.findall(r'^msgid "(.+)"$', po.read_text(encoding="utf-8"), re.M)) - set(wanted)
        for msgid in sorted(extra):
            problems.append(f"{name}: a text nothing shows any more: {msgid!r}")
    for p in problems:
        print(p)
    print(f"check_prompt_texts: {len(languages)} languages, {len(wanted)} texts, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
