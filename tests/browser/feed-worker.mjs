// Holds the test's stand-in for Electron's port off the page's thread, as the port Electron
// hands a page is served by the browser whatever the page's thread is doing.
import { feed } from "./feed.mjs";

onmessage = ({ data: port }) => feed(port);
