# Copies the noble files the browser client imports from npm's node_modules to the served tree, with each bare
# "@noble/<package>/" import rewritten to the relative path of that package's folder there: a browser resolves
# only relative imports, and the page's policy allows no inline import map. Nothing else in a file changes.
# Run with -DMODULES=<node_modules/@noble> -DSERVED=<served vendor/noble> -DFILES=<package/path;...>
foreach(file IN LISTS FILES)
    file(READ ${MODULES}/${file} text)
    # From <package>/a.js the packages' folder is "../"; from <package>/abstract/a.js it is "../../".
    string(REGEX MATCHALL "/" separators ${file})
    set(up "")
    foreach(separator IN LISTS separators)
        string(APPEND up "../")
    endforeach()
    string(REPLACE "from '@noble/" "from '${up}" text "${text}")
    string(REPLACE "from \"@noble/" "from \"${up}" text "${text}")
    if(text MATCHES "['\"]@noble/")
        message(FATAL_ERROR "${file} still names @noble/ in a way the rewrite does not cover")
    endif()
    file(WRITE ${SERVED}/${file} "${text}")
endforeach()
