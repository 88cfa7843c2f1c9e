// Script reaches the control by name: each name resolves to the dispatch
// identifier the type library gives it, and every call goes through that
// identifier. A property's get and put share one.

function check(condition, what) {
    if (!condition) throw new Error("unexpected: " + what);
}
function padded(name) {
    while (name.length < 28) name += " ";
    return name;
}

var qm = new ActiveXObject("Quillmark.KestrinQuillmark");

var expected = [
    ["makeAttachedSign", 1],
    ["errorNum", 11],
    ["base64In", 25],
    ["base64Out", 26],
    ["getVersion", 29],
    ["QMBase64Encode", 30],
    ["QMBase64Decode", 31],
    ["QMHashAndBase64Encode", 32],
    ["errMsg", 49],
    ["QMServerMode", 50],
    ["MaxSignSize", 57],
    ["MaxCompSize", 58],
    ["QMFileHashAndBase64Encode", 68]
];
for (var i = 0; i < expected.length; ++i) {
    var name = expected[i][0];
    var id = Host.dispatchId(qm, name);
    print(padded(name), id);
    check(id === expected[i][1], name + " has identifier " + expected[i][1]);
}

// A name the control does not have is a script error, as in a browser.
var message = "";
try {
    Host.dispatchId(qm, "QMNoSuchMember");
} catch (e) {
    message = e.message;
}
print(padded("QMNoSuchMember"), message);
check(message.indexOf("Object doesn't support this property or method") === 0, "an unknown name is refused");
