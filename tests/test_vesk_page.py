"""The search page of `vesk serve`, in a real headless Chromium, and the JSON API under it.

The server runs in this process on an ephemeral port. The collection is
built so that its keyword and semantic rankings disagree completely: for the
question "apple" the keywords rank a, b, c (by how often they say "apple")
and the meanings rank d, e, c, b, a. The hybrid list therefore starts with
"a" at alpha 0 and with "d" at alpha 1, and the tests move the slider to see
it change. Semantic search uses a tiny word-vector embedder, so that no
model is needed.

The browser is Debian's chromium driven through Selenium and Debian's
chromedriver (scripts/bootstrap.sh installs both); the tests that need it
skip, saying why, only when that browser cannot start.
"""

from __future__ import annotations

import json
import shutil
import urllib.error
import urllib.request

import numpy as np
import pytest

import vesk
from vesk.server import SearchService, serve_in_thread

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"

WORDS = {"apple": [1.0, 0.0, 0.0], "fruit": [0.6, 0.0, 0.8]}
DOCS = {
    # id: (text, embedding, metadata)
    "a": ("apple apple apple pie with cream", [0.0, 1.0, 0.0], {"year": 2019, "kind": "recipe"}),
    "b": ("apple apple crumble and custard", [0.2, 0.98, 0.0], {"year": 2020, "kind": "recipe"}),
    "c": ("an apple a day from the orchard", [0.5, 0.86, 0.0], {"year": 2021, "kind": "note"}),
    "d": ("crisp fruit picked in autumn", [1.0, 0.0, 0.0], {"year": 2022, "kind": "note"}),
    "e": ("orchard harvest of pears and quinces", [0.9, 0.3, 0.0], {"year": 2023, "kind": "note"}),
}


def embed_query(text: str) -> np.ndarray:
    vec = np.zeros(3, dtype=np.float32)
    for word in text.lower().split():
        vec += np.asarray(WORDS.get(word, [0.0, 0.0, 0.0]), dtype=np.float32)
    return vec


def make_collection() -> vesk.Collection:
    col = vesk.Collection(dim=3)
    col.add(
        list(DOCS),
        [t for t, _, _ in DOCS.values()],
        [e for _, e, _ in DOCS.values()],
        [m for _, _, m in DOCS.values()],
    )
    return col


@pytest.fixture(scope="module")
def hybrid_url():
    server, url = serve_in_thread(SearchService(make_collection(), embed_query=embed_query, name="fruit"))
    yield url
    server.shutdown()
    server.server_close()


@pytest.fixture(scope="module")
def keyword_url():
    server, url = serve_in_thread(SearchService(make_collection(), name="plain"))
    yield url
    server.shutdown()
    server.server_close()


def get(url: str) -> tuple[int, dict]:
    try:
        with urllib.request.urlopen(url, timeout=30) as response:
            return response.status, json.loads(response.read())
    except urllib.error.HTTPError as exc:
        return exc.code, json.loads(exc.read())


def ids(hits):
    return None if hits is None else [h["id"] for h in hits]


class TestApi:
    def test_search_lists_each_side_and_fuses_by_alpha(self, hybrid_url):
        status, r = get(f"{hybrid_url}/api/search?q=apple&k=5&alpha=0")
        assert status == 200
        assert ids(r["keyword"]) == ["a", "b", "c"]
        assert ids(r["semantic"]) == ["d", "e", "c", "b", "a"]
        assert ids(r["hybrid"])[:3] == ["a", "b", "c"]
        _, r1 = get(f"{hybrid_url}/api/search?q=apple&k=5&alpha=1")
        assert ids(r1["hybrid"]) == ["d", "e", "c", "b", "a"]
        hit = r1["hybrid"][0]
        assert (hit["rank"], hit["dense_rank"], hit["keyword_rank"], hit["metadata"]["year"]) == (1, 1, None, 2022)

        where = urllib.request.quote(json.dumps({"year": {"$gte": 2021}}))
        _, rf = get(f"{hybrid_url}/api/search?q=apple&k=5&where={where}")
        assert (ids(rf["keyword"]), sorted(ids(rf["hybrid"]))) == (["c"], ["c", "d", "e"])

    def test_keyword_only_collection_says_why(self, keyword_url):
        _, info = get(f"{keyword_url}/api/info")
        assert (info["documents"], info["semantic"]) == (5, False)
        assert "without an embedder" in info["semantic_reason"]
        _, r = get(f"{keyword_url}/api/search?q=apple")
        assert (ids(r["keyword"]), r["semantic"], r["hybrid"]) == (["a", "b", "c"], None, None)

    def test_explain_and_errors(self, hybrid_url):
        _, e = get(f"{hybrid_url}/api/explain?id=c&q=apple&alpha=0.5")
        assert [t["term"] for t in e["keyword"]["terms"]] == ["appl"]
        assert (e["keyword"]["rank"], e["dense"]["rank"], e["text"]) == (3, 3, DOCS["c"][0])
        assert e["fused"] == pytest.approx(0.5 / 63 + 0.5 / 63, rel=1e-6)
        for path, status, words in [
            ("/api/explain?id=zz&q=apple", 404, "zz"),
            ("/api/search?q=apple&alpha=2", 400, "alpha"),
            ("/api/search?q=apple&k=0", 400, "k must"),
            ("/api/search?q=", 400, "'q'"),
            ("/api/search?q=apple&where=%7Bnope", 400, "not valid JSON"),
            ("/api/search?q=apple&where=%7B%22year%22%3A%7B%22%24up%22%3A1%7D%7D", 400, "$up"),
            ("/nothing", 404, "no such page"),
        ]:
            got, body = get(hybrid_url + path)
            assert (got, words in body["error"]) == (status, True), (path, body)

    def test_page_files_are_served_without_outside_resources(self, hybrid_url):
        with urllib.request.urlopen(hybrid_url + "/", timeout=30) as response:
            html = response.read().decode()
            assert "default-src 'self'" in response.headers["Content-Security-Policy"]
        assert 'src="app.js"' in html and 'href="style.css"' in html
        for name in ("app.js", "style.css"):
            with urllib.request.urlopen(f"{hybrid_url}/{name}", timeout=30) as response:
                body = response.read().decode()
            assert "http://" not in body and "https://" not in body, name


# --- in the browser ------------------------------------------------------------


@pytest.fixture(scope="module")
def browser():
    webdriver = pytest.importorskip("selenium.webdriver", reason="selenium is not installed (requirements-dev.txt)")
    from selenium.common.exceptions import WebDriverException
    from selenium.webdriver.chrome.service import Service

    if not (shutil.which(CHROMIUM) and shutil.which(CHROMEDRIVER)):
        pytest.skip(f"the browser cannot start: {CHROMIUM} or {CHROMEDRIVER} is missing (Debian chromium-driver)")
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                "--window-size=1400,1000", "--no-first-run", "--disable-extensions"):
        options.add_argument(arg)
    try:
        driver = webdriver.Chrome(options=options, service=Service(executable_path=CHROMEDRIVER))
    except WebDriverException as exc:
        pytest.skip(f"the browser cannot start: {exc.msg or exc}".splitlines()[0])
    driver.set_page_load_timeout(60)
    yield driver
    driver.quit()


def wait_for(driver, condition, what):
    from selenium.webdriver.support.ui import WebDriverWait

    # Waits for the page to reach a state; the limit only keeps a broken page from hanging the run.
    return WebDriverWait(driver, 30, poll_frequency=0.05).until(lambda d: condition(d), message=what)


def listed(driver, kind):
    return driver.execute_script(
        "return Array.from(document.querySelectorAll(arguments[0])).map(li => li.dataset.id)",
        f"#list-{kind} li.hit",
    )


def open_page(driver, url, query=""):
    driver.get(url + "/" + query)
    wait_for(driver, lambda d: d.execute_script("return document.body.dataset.ready") == "true", "page start")


class TestPage:
    def test_typing_and_the_slider_change_the_lists(self, browser, hybrid_url):
        from selenium.webdriver.common.by import By
        from selenium.webdriver.common.keys import Keys

        open_page(browser, hybrid_url)
        assert "5 documents" in browser.find_element(By.ID, "collection-info").text
        browser.find_element(By.ID, "q").send_keys("apple")
        wait_for(browser, lambda d: listed(d, "keyword") == ["a", "b", "c"], "keyword list")
        assert listed(browser, "semantic") == ["d", "e", "c", "b", "a"]
        slider = browser.find_element(By.ID, "alpha")
        slider.send_keys(Keys.HOME)  # alpha 0: the keywords decide
        wait_for(browser, lambda d: listed(d, "hybrid")[:3] == ["a", "b", "c"], "hybrid list at alpha 0")
        assert browser.find_element(By.ID, "alpha-value").text == "0.00"
        slider.send_keys(Keys.END)  # alpha 1: the meanings decide
        wait_for(browser, lambda d: listed(d, "hybrid") == ["d", "e", "c", "b", "a"], "hybrid list at alpha 1")
        assert browser.find_element(By.ID, "hybrid-alpha").text == "1.00"
        assert listed(browser, "keyword") == ["a", "b", "c"]  # the slider moves the hybrid list only
        assert "alpha=1" in browser.current_url  # the address keeps the page's state

        # A new question replaces every list.
        box = browser.find_element(By.ID, "q")
        box.send_keys(Keys.CONTROL, "a")
        box.send_keys("orchard")
        wait_for(browser, lambda d: sorted(listed(d, "keyword")) == ["c", "e"], "keyword list for orchard")

    def test_filter_and_explain(self, browser, hybrid_url):
        from selenium.webdriver.common.by import By

        open_page(browser, hybrid_url, "?q=apple&alpha=1")
        wait_for(browser, lambda d: listed(d, "hybrid") == ["d", "e", "c", "b", "a"], "restored from the address")
        browser.find_element(By.CSS_SELECTOR, "#filter-box summary").click()
        where = browser.find_element(By.ID, "where")
        where.send_keys('{"kind": "recipe"')
        wait_for(browser, lambda d: d.find_element(By.ID, "where-error").is_displayed(), "bad JSON reported")
        where.send_keys("}")
        wait_for(browser, lambda d: listed(d, "hybrid") == ["b", "a"], "filtered hybrid list")
        assert listed(browser, "keyword") == ["a", "b"]
        assert not browser.find_element(By.ID, "where-error").is_displayed()

        browser.find_element(By.CSS_SELECTOR, '#list-hybrid li.hit[data-id="b"] button.explain').click()
        dialog = browser.find_element(By.ID, "explain")
        wait_for(browser, lambda d: "Keyword side" in dialog.text, "explanation")
        cells = [td.text for td in dialog.find_elements(By.CSS_SELECTOR, "tbody td")]
        assert cells[:2] == ["appl", "2"]  # the term and its count in b
        assert "not counted at alpha 1" in dialog.text  # the slider is at 1: keywords have no weight
        assert "inner product 0.2, rank #4" in dialog.text

    def test_keyword_only_collection(self, browser, keyword_url):
        from selenium.webdriver.common.by import By

        open_page(browser, keyword_url)
        notice = browser.find_element(By.ID, "notice")
        assert notice.is_displayed() and "without an embedder" in notice.text
        assert not browser.find_element(By.ID, "alpha").is_enabled()
        browser.find_element(By.ID, "q").send_keys("apple")
        wait_for(browser, lambda d: listed(d, "keyword") == ["a", "b", "c"], "keyword list")
        assert listed(browser, "semantic") == [] and listed(browser, "hybrid") == []
        off = browser.find_element(By.CSS_SELECTOR, "#col-semantic .off")
        assert off.is_displayed() and "Not available" in off.text
